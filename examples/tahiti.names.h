/*
 * Register names for the display driver's bring-up of the device as a
 * TAHITI (display-driver-bringup.log.gz among the recordings, or any run
 * with examples/tahiti.lua), as byte offsets into BAR 2, for
 * zephon-trace --names.
 *
 * The names and offsets are those of the radeon driver's register headers
 * for Southern Islands parts (sid.h), and for the display controller those
 * it shares with earlier parts (evergreen_reg.h, ni_reg.h, avivod.h) and the BIOS
 * scratch registers (r600_reg.h). The headers name a display controller's
 * registers once, at controller 0, without a prefix; here they carry the
 * controller's, CRTC0_ to CRTC5_, with controllers 1 to 5 at +0xC00,
 * +0x9800, +0xA400, +0xB000 and +0xBC00.
 * Registers the run touches only once in passing (golden settings, per-unit
 * tuning) are left out.
 */
#ifndef TAHITI_NAMES_H
#define TAHITI_NAMES_H

/* Indirect access to the register space and to the PCIe block. */
#define MM_INDEX                                        0x0
#define MM_DATA                                         0x4
#define PCIE_INDEX                                      0x30
#define PCIE_DATA                                       0x34

/* Posting: is a display controller running, is the memory size set? The
 * video BIOS's ASIC_Init sets CONFIG_MEMSIZE (in MiB). */
#define CONFIG_MEMSIZE                                  0x5428
#define BIF_FB_EN                                       0x5490
#define BIOS_0_SCRATCH                                  0x1724
#define BIOS_2_SCRATCH                                  0x172C
#define BIOS_3_SCRATCH                                  0x1730
#define BIOS_6_SCRATCH                                  0x173C
#define SRBM_STATUS                                     0xE50
#define SRBM_INT_CNTL                                   0xEA0
#define SRBM_INT_ACK                                    0xEA8
#define VGA_RENDER_CONTROL                              0x300
#define VGA_HDP_CONTROL                                 0x328

/* Memory controller: its microcode, training, and the VRAM aperture. */
#define MC_SHARED_CHMAP                                 0x2004
#define MC_VM_FB_LOCATION                               0x2024
#define MC_VM_AGP_TOP                                   0x2028
#define MC_VM_AGP_BOT                                   0x202C
#define MC_VM_AGP_BASE                                  0x2030
#define MC_VM_SYSTEM_APERTURE_LOW_ADDR                  0x2034
#define MC_VM_SYSTEM_APERTURE_HIGH_ADDR                 0x2038
#define MC_VM_SYSTEM_APERTURE_DEFAULT_ADDR              0x203C
#define MC_VM_MX_L1_TLB_CNTL                            0x2064
#define MC_SHARED_BLACKOUT_CNTL                         0x20AC
#define MC_ARB_RAMCFG                                   0x2760
#define MC_SEQ_SUP_CNTL                                 0x28C8
#define MC_SEQ_SUP_PGM                                  0x28CC
#define MC_SEQ_TRAIN_WAKEUP_CNTL                        0x28E8
#define     TRAIN_DONE_D0                               (1 << 30)
#define     TRAIN_DONE_D1                               (1 << 31)
#define MC_SEQ_MISC0                                    0x2A00
#define MC_SEQ_IO_DEBUG_INDEX                           0x2A44
#define MC_SEQ_IO_DEBUG_DATA                            0x2A48

/* Memory controller clock gating. */
#define MC_HUB_MISC_HUB_CG                              0x20B8
#define MC_HUB_MISC_VM_CG                               0x20BC
#define MC_HUB_MISC_SIP_CG                              0x20C0
#define MC_XPB_CLK_GAT                                  0x2478
#define MC_CITF_MISC_RD_CG                              0x2648
#define MC_CITF_MISC_WR_CG                              0x264C
#define MC_CITF_MISC_VM_CG                              0x2650
#define ATC_MISC_CG                                     0x3350
#define VM_L2_CG                                        0x15C0

/* Host data path: the CPU's way into VRAM. */
#define HDP_HOST_PATH_CNTL                              0x2C00
#define HDP_NONSURFACE_BASE                             0x2C04
#define HDP_NONSURFACE_INFO                             0x2C08
#define HDP_NONSURFACE_SIZE                             0x2C0C
#define HDP_ADDR_CONFIG                                 0x2F48
#define HDP_MISC_CNTL                                   0x2F4C
#define HDP_MEM_POWER_LS                                0x2F50
#define HDP_MEM_COHERENCY_FLUSH_CNTL                    0x5480
#define HDP_REG_COHERENCY_FLUSH_CNTL                    0x54A0

/* GART: VM context 0, whose page table is in VRAM, the tables of the other
 * contexts, and the L2 in front of them. */
#define VM_L2_CNTL                                      0x1400
#define VM_L2_CNTL2                                     0x1404
#define VM_L2_CNTL3                                     0x1408
#define VM_CONTEXT0_CNTL                                0x1410
#define VM_CONTEXT1_CNTL                                0x1414
#define VM_CONTEXT0_CNTL2                               0x1430
#define VM_CONTEXT1_CNTL2                               0x1434
#define VM_CONTEXT8_PAGE_TABLE_BASE_ADDR                0x1438
#define VM_CONTEXT9_PAGE_TABLE_BASE_ADDR                0x143C
#define VM_CONTEXT10_PAGE_TABLE_BASE_ADDR               0x1440
#define VM_CONTEXT11_PAGE_TABLE_BASE_ADDR               0x1444
#define VM_CONTEXT12_PAGE_TABLE_BASE_ADDR               0x1448
#define VM_CONTEXT13_PAGE_TABLE_BASE_ADDR               0x144C
#define VM_CONTEXT14_PAGE_TABLE_BASE_ADDR               0x1450
#define VM_CONTEXT15_PAGE_TABLE_BASE_ADDR               0x1454
#define VM_INVALIDATE_REQUEST                           0x1478
#define VM_CONTEXT0_PROTECTION_FAULT_DEFAULT_ADDR       0x1518
#define VM_CONTEXT1_PROTECTION_FAULT_DEFAULT_ADDR       0x151C
#define VM_CONTEXT0_PAGE_TABLE_BASE_ADDR                0x153C
#define VM_CONTEXT1_PAGE_TABLE_BASE_ADDR                0x1540
#define VM_CONTEXT2_PAGE_TABLE_BASE_ADDR                0x1544
#define VM_CONTEXT3_PAGE_TABLE_BASE_ADDR                0x1548
#define VM_CONTEXT4_PAGE_TABLE_BASE_ADDR                0x154C
#define VM_CONTEXT5_PAGE_TABLE_BASE_ADDR                0x1550
#define VM_CONTEXT6_PAGE_TABLE_BASE_ADDR                0x1554
#define VM_CONTEXT7_PAGE_TABLE_BASE_ADDR                0x1558
#define VM_CONTEXT0_PAGE_TABLE_START_ADDR               0x155C
#define VM_CONTEXT1_PAGE_TABLE_START_ADDR               0x1560
#define VM_CONTEXT0_PAGE_TABLE_END_ADDR                 0x157C
#define VM_CONTEXT1_PAGE_TABLE_END_ADDR                 0x1580

/* Graphics block configuration. */
#define GRBM_CNTL                                       0x8000
#define GRBM_SOFT_RESET                                 0x8020
#define GRBM_GFX_INDEX                                  0x802C
#define GRBM_INT_CNTL                                   0x8060
#define CC_GC_SHADER_ARRAY_CONFIG                       0x89BC
#define GC_USER_SHADER_ARRAY_CONFIG                     0x89C0
#define SPI_STATIC_THREAD_MGMT_3                        0x90E8
#define CGTS_SM_CTRL_REG                                0x9150
#define CC_RB_BACKEND_DISABLE                           0x98F4
#define GB_ADDR_CONFIG                                  0x98F8
#define GB_TILE_MODE0                                   0x9910
#define CB_CGTT_SCLK_CTRL                               0x9A60
#define GC_USER_RB_BACKEND_DISABLE                      0x9B7C
#define DB_DEPTH_INFO                                   0x2803C
#define PA_SC_RASTER_CONFIG                             0x28350

/* Run-list controller: its microcode and its status. */
#define RLC_CNTL                                        0xC300
#define RLC_RL_BASE                                     0xC304
#define RLC_RL_SIZE                                     0xC308
#define RLC_LB_CNTL                                     0xC30C
#define RLC_SAVE_AND_RESTORE_BASE                       0xC310
#define RLC_LB_CNTR_MAX                                 0xC314
#define RLC_LB_CNTR_INIT                                0xC318
#define RLC_CLEAR_STATE_RESTORE_BASE                    0xC320
#define RLC_UCODE_ADDR                                  0xC32C
#define RLC_UCODE_DATA                                  0xC330
#define RLC_MC_CNTL                                     0xC344
#define RLC_UCODE_CNTL                                  0xC348
#define RLC_STAT                                        0xC34C
#define     RLC_BUSY_STATUS                             (1 << 0)
#define     GFX_POWER_STATUS                            (1 << 1)
#define     GFX_CLOCK_STATUS                            (1 << 2)
#define     GFX_LS_STATUS                               (1 << 3)
#define RLC_CGTT_MGCG_OVERRIDE                          0xC400
#define RLC_CGCG_CGLS_CTRL                              0xC404
#define RLC_LB_INIT_CU_MASK                             0xC41C
#define RLC_SERDES_WR_MASTER_MASK_0                     0xC454
#define RLC_SERDES_WR_MASTER_MASK_1                     0xC458
#define RLC_SERDES_WR_CTRL                              0xC45C
#define RLC_SERDES_MASTER_BUSY_0                        0xC464
#define RLC_SERDES_MASTER_BUSY_1                        0xC468

/* Command processor: microcode of its three engines, rings 0 to 2, and the
 * scratch registers the ring tests use. */
#define CP_RB_WPTR_DELAY                                0x8704
#define CP_ME_CNTL                                      0x86D8
#define     CP_CE_HALT                                  (1 << 24)
#define     CP_PFP_HALT                                 (1 << 26)
#define     CP_ME_HALT                                  (1 << 28)
#define SCRATCH_REG0                                    0x8500
#define SCRATCH_REG1                                    0x8504
#define SCRATCH_REG2                                    0x8508
#define SCRATCH_REG3                                    0x850C
#define SCRATCH_REG4                                    0x8510
#define SCRATCH_REG5                                    0x8514
#define SCRATCH_REG6                                    0x8518
#define SCRATCH_REG7                                    0x851C
#define SCRATCH_UMSK                                    0x8540
#define SCRATCH_ADDR                                    0x8544
#define CP_COHER_CNTL2                                  0x85E8
#define CP_RB2_RPTR                                     0x86F8
#define CP_RB1_RPTR                                     0x86FC
#define CP_RB0_RPTR                                     0x8700
#define CP_RB0_BASE                                     0xC100
#define CP_RB0_CNTL                                     0xC104
#define CP_RB0_RPTR_ADDR                                0xC10C
#define CP_RB0_RPTR_ADDR_HI                             0xC110
#define CP_RB0_WPTR                                     0xC114
#define CP_PFP_UCODE_ADDR                               0xC150
#define CP_PFP_UCODE_DATA                               0xC154
#define CP_ME_RAM_RADDR                                 0xC158
#define CP_ME_RAM_WADDR                                 0xC15C
#define CP_ME_RAM_DATA                                  0xC160
#define CP_CE_UCODE_ADDR                                0xC168
#define CP_CE_UCODE_DATA                                0xC16C
#define CP_RB1_BASE                                     0xC180
#define CP_RB1_CNTL                                     0xC184
#define CP_RB1_RPTR_ADDR                                0xC188
#define CP_RB1_RPTR_ADDR_HI                             0xC18C
#define CP_RB1_WPTR                                     0xC190
#define CP_RB2_BASE                                     0xC194
#define CP_RB2_CNTL                                     0xC198
#define CP_RB2_RPTR_ADDR                                0xC19C
#define CP_RB2_RPTR_ADDR_HI                             0xC1A0
#define CP_RB2_WPTR                                     0xC1A4
#define CP_INT_CNTL_RING0                               0xC1A8
#define CP_INT_CNTL_RING1                               0xC1AC
#define CP_INT_CNTL_RING2                               0xC1B0
#define CP_MEM_SLP_CNTL                                 0xC1E4
#define CP_DEBUG                                        0xC1FC

/* The two DMA engines (ring 3 is DMA0's). */
#define DMA0_RB_CNTL                                    0xD000
#define DMA0_RB_BASE                                    0xD004
#define DMA0_RB_RPTR                                    0xD008
#define DMA0_RB_WPTR                                    0xD00C
#define DMA0_RB_RPTR_ADDR_HI                            0xD01C
#define DMA0_RB_RPTR_ADDR_LO                            0xD020
#define DMA0_IB_CNTL                                    0xD024
#define DMA0_CNTL                                       0xD02C
#define DMA0_TILING_CONFIG                              0xD0B8
#define DMA0_POWER_CNTL                                 0xD0BC
#define DMA0_CLK_CTRL                                   0xD0C0
#define DMA1_RB_CNTL                                    0xD800
#define DMA1_RB_BASE                                    0xD804
#define DMA1_RB_RPTR                                    0xD808
#define DMA1_RB_WPTR                                    0xD80C
#define DMA1_RB_RPTR_ADDR_HI                            0xD81C
#define DMA1_RB_RPTR_ADDR_LO                            0xD820
#define DMA1_IB_CNTL                                    0xD824
#define DMA1_CNTL                                       0xD82C
#define DMA1_POWER_CNTL                                 0xD8BC
#define DMA1_CLK_CTRL                                   0xD8C0

/* Interrupts: the interrupt handler's ring and the sources' enables. */
#define IH_RB_CNTL                                      0x3E00
#define IH_RB_BASE                                      0x3E04
#define IH_RB_RPTR                                      0x3E08
#define IH_RB_WPTR                                      0x3E0C
#define IH_RB_WPTR_ADDR_HI                              0x3E10
#define IH_RB_WPTR_ADDR_LO                              0x3E14
#define IH_CNTL                                         0x3E18
#define INTERRUPT_CNTL                                  0x5468
#define INTERRUPT_CNTL2                                 0x546C
#define CG_THERMAL_INT                                  0x708
#define DC_HPD1_INT_CONTROL                             0x6020
#define DC_HPD2_INT_CONTROL                             0x602C
#define DC_HPD3_INT_CONTROL                             0x6038
#define DC_HPD4_INT_CONTROL                             0x6044
#define DC_HPD5_INT_CONTROL                             0x6050
#define DC_HPD6_INT_CONTROL                             0x605C
#define DISP_INTERRUPT_STATUS                           0x60F4
#define DISP_INTERRUPT_STATUS_CONTINUE                  0x60F8
#define DISP_INTERRUPT_STATUS_CONTINUE2                 0x60FC
#define DISP_INTERRUPT_STATUS_CONTINUE3                 0x6100
#define DISP_INTERRUPT_STATUS_CONTINUE4                 0x614C
#define DISP_INTERRUPT_STATUS_CONTINUE5                 0x6150
#define DAC_AUTODETECT_INT_CONTROL                      0x67C8

/* Display memory interface: buffers per pipe, arbitration. */
#define DMIF_ADDR_CONFIG                                0xBD4
#define DMIF_ADDR_CALC                                  0xC00
#define PIPE0_DMIF_BUFFER_CONTROL                       0xCA0
#define     DMIF_BUFFERS_ALLOCATED_COMPLETED            (1 << 4)
#define PIPE1_DMIF_BUFFER_CONTROL                       0xCC0
#define PIPE2_DMIF_BUFFER_CONTROL                       0xCE0
#define PIPE3_DMIF_BUFFER_CONTROL                       0xD00
#define PIPE4_DMIF_BUFFER_CONTROL                       0xD20
#define PIPE5_DMIF_BUFFER_CONTROL                       0xD40

/* Display controller 0: the mode set of 1024x768 and its colour tables. */
#define CRTC0_GRPH_ENABLE                               0x6800
#define CRTC0_GRPH_CONTROL                              0x6804
#define CRTC0_GRPH_LUT_10BIT_BYPASS_CONTROL             0x6808
#define CRTC0_GRPH_SWAP_CONTROL                         0x680C
#define CRTC0_GRPH_PRIMARY_SURFACE_ADDRESS              0x6810
#define CRTC0_GRPH_SECONDARY_SURFACE_ADDRESS            0x6814
#define CRTC0_GRPH_PITCH                                0x6818
#define CRTC0_GRPH_PRIMARY_SURFACE_ADDRESS_HIGH         0x681C
#define CRTC0_GRPH_SECONDARY_SURFACE_ADDRESS_HIGH       0x6820
#define CRTC0_GRPH_SURFACE_OFFSET_X                     0x6824
#define CRTC0_GRPH_SURFACE_OFFSET_Y                     0x6828
#define CRTC0_GRPH_X_START                              0x682C
#define CRTC0_GRPH_Y_START                              0x6830
#define CRTC0_GRPH_X_END                                0x6834
#define CRTC0_GRPH_Y_END                                0x6838
#define CRTC0_INPUT_GAMMA_CONTROL                       0x6840
#define CRTC0_GRPH_FLIP_CONTROL                         0x6848
#define CRTC0_GRPH_INT_STATUS                           0x6858
#define CRTC0_GRPH_INT_CONTROL                          0x685C
#define CRTC0_PRESCALE_GRPH_CONTROL                     0x68B4
#define CRTC0_PRESCALE_OVL_CONTROL                      0x68C4
#define CRTC0_INPUT_CSC_CONTROL                         0x68D4
#define CRTC0_OUTPUT_CSC_CONTROL                        0x68F0
#define CRTC0_DEGAMMA_CONTROL                           0x6960
#define CRTC0_GAMUT_REMAP_CONTROL                       0x6964
#define CRTC0_DC_LUT_RW_MODE                            0x69E0
#define CRTC0_DC_LUT_RW_INDEX                           0x69E4
#define CRTC0_DC_LUT_30_COLOR                           0x69F0
#define CRTC0_DC_LUT_WRITE_EN_MASK                      0x69F8
#define CRTC0_DC_LUT_CONTROL                            0x6A00
#define CRTC0_DC_LUT_BLACK_OFFSET_BLUE                  0x6A04
#define CRTC0_DC_LUT_BLACK_OFFSET_GREEN                 0x6A08
#define CRTC0_DC_LUT_BLACK_OFFSET_RED                   0x6A0C
#define CRTC0_DC_LUT_WHITE_OFFSET_BLUE                  0x6A10
#define CRTC0_DC_LUT_WHITE_OFFSET_GREEN                 0x6A14
#define CRTC0_DC_LUT_WHITE_OFFSET_RED                   0x6A18
#define CRTC0_REGAMMA_CONTROL                           0x6A80
#define CRTC0_DATA_FORMAT                               0x6B00
#define CRTC0_DESKTOP_HEIGHT                            0x6B04
#define CRTC0_DC_LB_MEMORY_SPLIT                        0x6B0C
#define CRTC0_PRIORITY_A_CNT                            0x6B18
#define CRTC0_PRIORITY_B_CNT                            0x6B1C
#define CRTC0_INT_MASK                                  0x6B40
#define CRTC0_DPG_PIPE_ARBITRATION_CONTROL3             0x6CC8
#define CRTC0_DPG_PIPE_LATENCY_CONTROL                  0x6CCC
#define CRTC0_VIEWPORT_START                            0x6D70
#define CRTC0_VIEWPORT_SIZE                             0x6D74
#define CRTC0_CRTC_V_BLANK_START_END                    0x6E34
#define CRTC0_CRTC_CONTROL                              0x6E70
#define     CRTC_MASTER_EN                              (1 << 0)
#define CRTC0_CRTC_STATUS_POSITION                      0x6E90
#define CRTC0_CRTC_STATUS_FRAME_COUNT                   0x6E98
#define CRTC0_MASTER_UPDATE_MODE                        0x6EF8

/* Display controllers 1 to 5: what the driver touches of each. */
#define CRTC1_GRPH_ENABLE                               0x7400
#define CRTC1_GRPH_INT_STATUS                           0x7458
#define CRTC1_GRPH_INT_CONTROL                          0x745C
#define CRTC1_DC_LB_MEMORY_SPLIT                        0x770C
#define CRTC1_PRIORITY_A_CNT                            0x7718
#define CRTC1_PRIORITY_B_CNT                            0x771C
#define CRTC1_INT_MASK                                  0x7740
#define CRTC1_DPG_PIPE_ARBITRATION_CONTROL3             0x78C8
#define CRTC1_DPG_PIPE_LATENCY_CONTROL                  0x78CC
#define CRTC1_CRTC_CONTROL                              0x7A70
#define CRTC2_GRPH_ENABLE                               0x10000
#define CRTC2_GRPH_INT_STATUS                           0x10058
#define CRTC2_GRPH_INT_CONTROL                          0x1005C
#define CRTC2_DC_LB_MEMORY_SPLIT                        0x1030C
#define CRTC2_PRIORITY_A_CNT                            0x10318
#define CRTC2_PRIORITY_B_CNT                            0x1031C
#define CRTC2_INT_MASK                                  0x10340
#define CRTC2_DPG_PIPE_ARBITRATION_CONTROL3             0x104C8
#define CRTC2_DPG_PIPE_LATENCY_CONTROL                  0x104CC
#define CRTC2_CRTC_CONTROL                              0x10670
#define CRTC3_GRPH_ENABLE                               0x10C00
#define CRTC3_GRPH_INT_STATUS                           0x10C58
#define CRTC3_GRPH_INT_CONTROL                          0x10C5C
#define CRTC3_DC_LB_MEMORY_SPLIT                        0x10F0C
#define CRTC3_PRIORITY_A_CNT                            0x10F18
#define CRTC3_PRIORITY_B_CNT                            0x10F1C
#define CRTC3_INT_MASK                                  0x10F40
#define CRTC3_DPG_PIPE_ARBITRATION_CONTROL3             0x110C8
#define CRTC3_DPG_PIPE_LATENCY_CONTROL                  0x110CC
#define CRTC3_CRTC_CONTROL                              0x11270
#define CRTC4_GRPH_ENABLE                               0x11800
#define CRTC4_GRPH_INT_STATUS                           0x11858
#define CRTC4_GRPH_INT_CONTROL                          0x1185C
#define CRTC4_DC_LB_MEMORY_SPLIT                        0x11B0C
#define CRTC4_PRIORITY_A_CNT                            0x11B18
#define CRTC4_PRIORITY_B_CNT                            0x11B1C
#define CRTC4_INT_MASK                                  0x11B40
#define CRTC4_DPG_PIPE_ARBITRATION_CONTROL3             0x11CC8
#define CRTC4_DPG_PIPE_LATENCY_CONTROL                  0x11CCC
#define CRTC4_CRTC_CONTROL                              0x11E70
#define CRTC5_GRPH_ENABLE                               0x12400
#define CRTC5_GRPH_INT_STATUS                           0x12458
#define CRTC5_GRPH_INT_CONTROL                          0x1245C
#define CRTC5_DC_LB_MEMORY_SPLIT                        0x1270C
#define CRTC5_PRIORITY_A_CNT                            0x12718
#define CRTC5_PRIORITY_B_CNT                            0x1271C
#define CRTC5_INT_MASK                                  0x12740
#define CRTC5_DPG_PIPE_ARBITRATION_CONTROL3             0x128C8
#define CRTC5_DPG_PIPE_LATENCY_CONTROL                  0x128CC
#define CRTC5_CRTC_CONTROL                              0x12A70

#endif /* TAHITI_NAMES_H */
