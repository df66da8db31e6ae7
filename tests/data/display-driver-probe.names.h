/*
 * Register names for the recording display-driver-probe.log.gz, written the
 * way a display driver's register header is: byte offsets into BAR 2.
 *
 * The guest's messages (display-driver-probe.dmesg.txt) say the driver was
 * radeon and took the device for a TAHITI, a Southern Islands part, and that
 * it failed its init and died in si_enable_gui_idle_interrupt while tearing
 * down. Nothing was downloaded to make this file: the names are the ones such
 * a header plausibly uses, reconstructed from the offsets and from what the
 * access pattern shows the driver doing (a posted-card check over six
 * display controllers, halting the command processor and both DMA engines,
 * clock-gating teardown, a status register polled 100 000 times, interrupt
 * acknowledge and disable, video decoder stop, GART disable). They have not
 * been checked against the driver's source; treat them as a reading aid.
 *
 * The shell's accesses at the start (offsets 0x0 to 0x10) are not the
 * driver's and are named for what the driver would call them.
 */
#ifndef DISPLAY_DRIVER_PROBE_NAMES_H
#define DISPLAY_DRIVER_PROBE_NAMES_H

/* Indirect access to the register space and to the PCIe block. */
#define MM_INDEX                                        0x0
#define MM_DATA                                         0x4
#define PCIE_INDEX                                      0x30
#define PCIE_DATA                                       0x34
#define SMC_IND_INDEX_0                                 0x200
#define SMC_IND_DATA_0                                  0x204
#define SRBM_INT_CNTL                                   0xEA0

/* Memory controller and its clock gating. */
#define VM_L2_CNTL                                      0x1400
#define VM_L2_CNTL2                                     0x1404
#define VM_L2_CNTL3                                     0x1408
#define VM_CONTEXT0_CNTL                                0x1410
#define VM_CONTEXT1_CNTL                                0x1414
#define VM_CONTEXT8_PAGE_TABLE_BASE_ADDR                0x1438
#define VM_CONTEXT9_PAGE_TABLE_BASE_ADDR                0x143C
#define VM_CONTEXT10_PAGE_TABLE_BASE_ADDR               0x1440
#define VM_CONTEXT11_PAGE_TABLE_BASE_ADDR               0x1444
#define VM_CONTEXT12_PAGE_TABLE_BASE_ADDR               0x1448
#define VM_CONTEXT13_PAGE_TABLE_BASE_ADDR               0x144C
#define VM_CONTEXT14_PAGE_TABLE_BASE_ADDR               0x1450
#define VM_CONTEXT15_PAGE_TABLE_BASE_ADDR               0x1454
#define VM_CONTEXT0_PAGE_TABLE_BASE_ADDR                0x153C
#define VM_CONTEXT1_PAGE_TABLE_BASE_ADDR                0x1540
#define VM_CONTEXT2_PAGE_TABLE_BASE_ADDR                0x1544
#define VM_CONTEXT3_PAGE_TABLE_BASE_ADDR                0x1548
#define VM_CONTEXT4_PAGE_TABLE_BASE_ADDR                0x154C
#define VM_CONTEXT5_PAGE_TABLE_BASE_ADDR                0x1550
#define VM_CONTEXT6_PAGE_TABLE_BASE_ADDR                0x1554
#define VM_CONTEXT7_PAGE_TABLE_BASE_ADDR                0x1558
#define VM_L2_CG                                        0x15C0
#define MC_VM_MX_L1_TLB_CNTL                            0x2064
#define MC_HUB_MISC_HUB_CG                              0x20B8
#define MC_HUB_MISC_VM_CG                               0x20BC
#define MC_HUB_MISC_SIP_CG                              0x20C0
#define MC_XPB_CLK_GAT                                  0x2478
#define MC_CITF_MISC_RD_CG                              0x2648
#define MC_CITF_MISC_WR_CG                              0x264C
#define MC_CITF_MISC_VM_CG                              0x2650
#define ATC_MISC_CG                                     0x3350

/* Host data path. */
#define HDP_HOST_PATH_CNTL                              0x2C00
#define     CLOCK_GATING_DIS                            (1 << 23)
#define HDP_MEM_POWER_LS                                0x2F50

/* Interrupt handler ring. */
#define IH_RB_CNTL                                      0x3E00
#define     IH_RB_ENABLE                                (1 << 0)
#define IH_RB_RPTR                                      0x3E08
#define IH_RB_WPTR                                      0x3E0C
#define IH_CNTL                                         0x3E18
#define     ENABLE_INTR                                 (1 << 0)

/* Display: the configured memory size, hot-plug and per-controller registers. */
#define CONFIG_MEMSIZE                                  0x5428
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

/* The six display controllers, one block each. */
#define CRTC0_GRPH_INT_STATUS                           0x6858
#define CRTC0_GRPH_INT_CONTROL                          0x685C
#define CRTC0_INT_MASK                                  0x6B40
#define CRTC0_CRTC_CONTROL                              0x6E70
#define     CRTC_MASTER_EN                              (1 << 0)
#define CRTC1_GRPH_INT_STATUS                           0x7458
#define CRTC1_GRPH_INT_CONTROL                          0x745C
#define CRTC1_INT_MASK                                  0x7740
#define CRTC1_CRTC_CONTROL                              0x7A70
#define CRTC2_GRPH_INT_STATUS                           0x10058
#define CRTC2_GRPH_INT_CONTROL                          0x1005C
#define CRTC2_INT_MASK                                  0x10340
#define CRTC2_CRTC_CONTROL                              0x10670
#define CRTC3_GRPH_INT_STATUS                           0x10C58
#define CRTC3_GRPH_INT_CONTROL                          0x10C5C
#define CRTC3_INT_MASK                                  0x10F40
#define CRTC3_CRTC_CONTROL                              0x11270
#define CRTC4_GRPH_INT_STATUS                           0x11858
#define CRTC4_GRPH_INT_CONTROL                          0x1185C
#define CRTC4_INT_MASK                                  0x11B40
#define CRTC4_CRTC_CONTROL                              0x11E70
#define CRTC5_GRPH_INT_STATUS                           0x12458
#define CRTC5_GRPH_INT_CONTROL                          0x1245C
#define CRTC5_INT_MASK                                  0x12740
#define CRTC5_CRTC_CONTROL                              0x12A70

/* Graphics block. */
#define GRBM_INT_CNTL                                   0x8060
#define SCRATCH_UMSK                                    0x8540
#define CP_ME_CNTL                                      0x86D8
#define     CP_CE_HALT                                  (1 << 24)
#define     CP_PFP_HALT                                 (1 << 26)
#define     CP_ME_HALT                                  (1 << 28)
#define CGTS_SM_CTRL_REG                                0x9150
#define CB_CGTT_SCLK_CTRL                               0x9A60
#define DB_DEPTH_INFO                                   0x2803C

/* Command processor interrupts and the run-list controller. */
#define CP_INT_CNTL_RING0                               0xC1A8
#define CP_INT_CNTL_RING1                               0xC1AC
#define CP_INT_CNTL_RING2                               0xC1B0
#define CP_MEM_SLP_CNTL                                 0xC1E4
#define RLC_CNTL                                        0xC300
#define RLC_STAT                                        0xC34C
#define     RLC_BUSY_STATUS                             (1 << 0)
#define     GFX_POWER_STATUS                            (1 << 1)
#define     GFX_CLOCK_STATUS                            (1 << 2)
#define     GFX_LS_STATUS                               (1 << 3)
#define RLC_CGTT_MGCG_OVERRIDE                          0xC400
#define RLC_CGCG_CGLS_CTRL                              0xC404
#define RLC_SERDES_WR_MASTER_MASK_0                     0xC454
#define RLC_SERDES_WR_MASTER_MASK_1                     0xC458
#define RLC_SERDES_WR_CTRL                              0xC45C
#define RLC_SERDES_MASTER_BUSY_0                        0xC464
#define RLC_SERDES_MASTER_BUSY_1                        0xC468

/* The two DMA engines. */
#define DMA0_RB_CNTL                                    0xD000
#define     DMA_RB_ENABLE                               (1 << 0)
#define DMA0_CNTL                                       0xD02C
#define DMA0_POWER_CNTL                                 0xD0BC
#define DMA0_CLK_CTRL                                   0xD0C0
#define DMA1_RB_CNTL                                    0xD800
#define DMA1_CNTL                                       0xD82C
#define DMA1_POWER_CNTL                                 0xD8BC
#define DMA1_CLK_CTRL                                   0xD8C0

/* Video decoder. */
#define UVD_RB_ARB_CTRL                                 0xF480
#define UVD_CTX_INDEX                                   0xF4A0
#define UVD_CTX_DATA                                    0xF4A4
#define UVD_CGC_CTRL                                    0xF4B0
#define UVD_LMI_CTRL2                                   0xF4F4
#define UVD_VCPU_CNTL                                   0xF660
#define UVD_SOFT_RESET                                  0xF680
#define UVD_RBC_RB_CNTL                                 0xF6A4

#endif /* DISPLAY_DRIVER_PROBE_NAMES_H */
