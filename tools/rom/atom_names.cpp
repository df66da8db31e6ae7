#include "atom_names.h"

#include <fmt/format.h>

#include <array>
#include <string_view>

namespace zephon_rom {

namespace {

constexpr std::array<std::string_view, 81> kCommandTables = {
    "ASIC_Init", "GetDisplaySurfaceSize", "ASIC_RegistersInit", "VRAM_BlockVenderDetection",
    "DIGxEncoderControl", "MemoryControllerInit", "EnableCRTCMemReq", "MemoryParamAdjust", "DVOEncoderControl",
    "GPIOPinControl", "SetEngineClock", "SetMemoryClock", "SetPixelClock", "EnableDispPowerGating",
    "ResetMemoryDLL", "ResetMemoryDevice", "MemoryPLLInit", "AdjustDisplayPll", "AdjustMemoryController",
    "EnableASIC_StaticPwrMgt", "SetUniphyInstance", "DAC_LoadDetection", "LVTMAEncoderControl",
    "HW_Misc_Operation", "DAC1EncoderControl", "DAC2EncoderControl", "DVOOutputControl", "CV1OutputControl",
    "GetConditionalGoldenSetting", "TVEncoderControl", "PatchMCSetting", "MC_SEQ_Control", "Gfx_Harvesting",
    "EnableScaler", "BlankCRTC", "EnableCRTC", "GetPixelClock", "EnableVGA_Render", "GetSCLKOverMCLKRatio",
    "SetCRTC_Timing", "SetCRTC_OverScan", "SetCRTC_Replication", "SelectCRTC_Source", "EnableGraphSurfaces",
    "UpdateCRTC_DoubleBufferRegisters", "LUT_AutoFill", "EnableHW_IconCursor", "GetMemoryClock",
    "GetEngineClock", "SetCRTC_UsingDTDTiming", "ExternalEncoderControl", "LVTMAOutputControl",
    "VRAM_BlockDetectionByStrap", "MemoryCleanUp", "ProcessI2cChannelTransaction",
    "WriteOneByteToHWAssistedI2C", "ReadHWAssistedI2CStatus", "SpeedFanControl", "PowerConnectorDetection",
    "MC_Synchronization", "ComputeMemoryEnginePLL", "MemoryRefreshConversion", "VRAM_GetCurrentInfoBlock",
    "DynamicMemorySettings", "MemoryTraining", "EnableSpreadSpectrumOnPPLL", "TMDSAOutputControl",
    "SetVoltage", "DAC1OutputControl", "DAC2OutputControl", "ComputeMemoryClockParam", "ClockSource",
    "MemoryDeviceInit", "GetDispObjectInfo", "DIG1EncoderControl", "DIG2EncoderControl",
    "DIG1TransmitterControl", "DIG2TransmitterControl", "ProcessAuxChannelTransaction", "DPEncoderService",
    "GetVoltageInfo"
};

constexpr std::array<std::string_view, 34> kDataTables = {
    "UtilityPipeLine", "MultimediaCapabilityInfo", "MultimediaConfigInfo", "StandardVESA_Timing",
    "FirmwareInfo", "PaletteData", "LCD_Info", "DIGTransmitterInfo", "AnalogTV_Info", "SupportedDevicesInfo",
    "GPIO_I2C_Info", "VRAM_UsageByFirmware", "GPIO_Pin_LUT", "VESA_ToInternalModeLUT", "ComponentVideoInfo",
    "PowerPlayInfo", "CompassionateData", "SaveRestoreInfo", "PPLL_SS_Info", "OemInfo", "XTMDS_Info",
    "MclkSS_Info", "Object_Header", "IndirectIOAccess", "MC_InitParameter", "ASIC_VDDC_Info",
    "ASIC_InternalSS_Info", "TV_VideoMode", "VRAM_Info", "MemoryTrainingInfo", "IntegratedSystemInfo",
    "ASIC_ProfilingInfo", "VoltageObjectInfo", "PowerSourceInfo"
};

// SupportedDevicesInfo's bit order.
constexpr std::array<std::string_view, 16> kDevices = {"CRT1", "LCD1", "TV1",  "DFP1", "CRT2", "LCD2",
                                                       "DFP6", "DFP2", "CV",   "DFP3", "DFP4", "DFP5"};

// The driver's reading of a connector type nibble; 8, 9, 12 and 13 it
// takes for no connector.
constexpr std::array<std::string_view, 16> kConnectorTypes = {
    "none", "VGA", "DVI-I", "DVI-D", "DVI-A", "S-video", "composite", "LVDS",
    "",     "",    "HDMI-A", "HDMI-B", "",    "",        "9-pin DIN", "DisplayPort"};

}  // namespace

std::string command_table_name(std::size_t index) {
  return index < kCommandTables.size() ? std::string(kCommandTables[index]) : fmt::format("table {}", index);
}

std::string data_table_name(std::size_t index) {
  return index < kDataTables.size() ? std::string(kDataTables[index]) : fmt::format("table {}", index);
}

std::string device_name(std::size_t index) {
  return index < kDevices.size() && !kDevices[index].empty() ? std::string(kDevices[index])
                                                             : fmt::format("reserved device {}", index);
}

std::string connector_type_name(std::uint8_t type) {
  return type < kConnectorTypes.size() && !kConnectorTypes[type].empty() ? std::string(kConnectorTypes[type])
                                                                          : fmt::format("connector type {}", type);
}

std::string dac_name(std::uint8_t dac) {
  switch (dac) {
    case 0: return "no DAC";
    case 1: return "DAC A";
    case 2: return "DAC B";
    case 3: return "external DAC";
    default: return fmt::format("DAC {}", dac);
  }
}

}  // namespace zephon_rom
