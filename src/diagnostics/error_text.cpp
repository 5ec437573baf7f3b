// Error text: the code layout, the layer and device names, the nine text tables and
// ComposeErrorText.  Pure logic, no Win32 calls, so it also builds natively for fuzzing.
#include "diagnostics/error_text.h"

#include <stdio.h>
#include <string.h>

namespace {

constexpr uint32_t kWarningFlag = 0x40000000;
constexpr uint32_t kCommonFlag = 0x20000000;

uint32_t CodeNumber(ErrorCode code) { return code & 0xFFF; }
uint32_t LayerOf(ErrorCode code) { return (code >> 12) & 0xF; }
uint32_t DeviceOf(ErrorCode code) { return (code >> 16) & 0xFF; }

// A sparse table: the listed rows; every other row below `rows` holds the empty text.
struct TextRow {
  uint16_t number;
  const char* text;
};

struct TextTable {
  uint32_t rows;  // row count, also the bound
  const TextRow* listed;
  size_t listedCount;

  const char* Row(uint32_t number) const {
    if (number == 0) return "OK.";
    for (size_t i = 0; i < listedCount; ++i) {
      if (listed[i].number == number) return listed[i].text;
    }
    return "";
  }
};

template <size_t N>
constexpr TextTable Table(uint32_t rows, const TextRow (&listed)[N]) {
  return TextTable{rows, listed, N};
}

// ---- Text tables ----------------------------------------------------------------------

const TextRow kCommonErrorRows[] = {
    {0x001, "Function call with wrong parameter."},
    {0x002, "Handle is invalid."},
    {0x003, "No memory available."},
    {0x004, "A file handle could not be opened."},
    {0x005, "Timeout in function."},
    {0x006, "A buffer is to small."},
    {0x007, "The called module is not initialized."},
    {0x008, "Disk full."},
    {0x010, "Validation of context failed"},
    {0x011, "Wrong library version"},
    {0x012, "Wrong camera version"},
};

const TextRow kFirmwareErrorRows[] = {
    {0x001, "Timeout in telegram."},
    {0x002, "Wrong checksum in telegram."},
    {0x003, "No acknowledge."},
    {0x004, "Wrong size in array."},
    {0x005, "Data is inkonsistent."},
    {0x006, "Unknown command telegram."},
    {0x008, "FPGA init failed."},
    {0x009, "FPGA configuration failed."},
    {0x00A, "High temperature."},
    {0x00B, "Supply voltage out of range."},
    {0x00C, "No response from I2C Device."},
    {0x00D, "Checksum in code area is wrong."},
    {0x00E, "An address is out of range."},
    {0x00F, "No device is open for update."},
    {0x010, "The delivered buffer is to small."},
    {0x011, "To much data delivered to function."},
    {0x012, "Error while writing to camera."},
    {0x013, "Error while reading from camera."},
    {0x014, "Was not able to render graph."},
    {0x015, "The handle is not known."},
    {0x016, "Value is out of allowed range."},
    {0x017, "Desired function not possible."},
    {0x018, "SDRAM type read from SPD unknown."},
    {0x019, "Different SDRAM modules mounted."},
    {0x01A, "For CMOS sensor two modules needed."},
    {0x01B, "No SDRAM mounted."},
    {0x01C, "Segment size is too large."},
    {0x01D, "Segment is out of range."},
    {0x01E, "Value is out of range."},
    {0x01F, "Image read not possible."},
    {0x020, "Command/data not supported by this hardware."},
    {0x021, "Starting record failed due not armed."},
    {0x022, "Arm is not possible while record active."},
    {0x025, "Segment too small for image."},
    {0x026, "COC built is too large for internal memory."},
    {0x027, "COC has invalid data at fix position."},
    {0x028, "Correction data not valid."},
    {0x029, "CCD calibration not finished."},
    {0x030, "Camera trigger setting invalid."},
    {0x031, "Camera pixel rate invalid."},
    {0x032, "Camera powerdown setting invalid."},
    {0x033, "Camera sensorformat invalid."},
    {0x034, "Camera setting ROI to binning invalid."},
    {0x035, "Camera setting ROI to double invalid."},
    {0x036, "Camera mode setting invalid."},
    {0x037, "Camera delay setting invalid."},
    {0x038, "Camera exposure setting invalid."},
    {0x039, "Camera timebase setting invalid."},
    {0x03A, "ROI is not symmetrical."},
    {0x03B, "ROI steps do not match"},
    {0x03C, "ROI setting is wrong"},
    {0x03E, "COC modulate period time invalid."},
    {0x03F, "COC modulate monitor time invalid"},
    {0x04E, "Attempt to open unknown device for update."},
    {0x04F, "Attempt to open device not available."},
    {0x050, "This or other device is already open."},
    {0x051, "No device opened for update command."},
    {0x052, "Device to open does not respond."},
    {0x053, "Device to open is wrong device type."},
    {0x054, "Erasing device flash/firmware failed."},
    {0x055, "Device to program is not blank."},
    {0x056, "Device address is out of range."},
    {0x057, "Programming device flash/firmware failed."},
    {0x058, "Programming device EEPROM failed."},
    {0x059, "Reading device flash/firmware failed."},
    {0x05A, "Reading device EEPROM failed."},
    {0x07E, "Command is invalid."},
    {0x07F, "Camera UART not operational."},
    {0x080, "Access denied. Debugging? See vor_err.h!"},
    {0x081, "Command unknown."},
    {0x082, "Command group unknown."},
    {0x083, "Invalid command parameters."},
    {0x084, "Internal error."},
    {0x085, "Interface blocked."},
    {0x086, "Invalid session."},
    {0x087, "Bad offset."},
    {0x088, "NV write in progress."},
    {0x089, "Download block lost."},
    {0x08A, "Flash loader block invalid."},
    {0x08E, "Image packet lost."},
    {0x08F, "GiGE Data bandwidth conflict."},
    {0x09E, "External modulation frequency out of range."},
    {0x09F, "Sync PLL not locked."},
};

const TextRow kFirmwareWarningRows[] = {
    {0x001, "Function is already on."},
    {0x002, "Function is already off."},
    {0x003, "High temperature."},
    {0x004, "Offset regulation is not locked."},
};

const TextRow kDriverErrorRows[] = {
    {0x001, "Initialization failed; no camera connected."},
    {0x005, "Wrong driver for this OS."},
    {0x006, "Open driver or driver class failed."},
    {0x007, "I/O operation failed."},
    {0x008, "Error in telegram checksum."},
    {0x009, "Invalid Camera mode."},
    {0x00B, "Device is hold by an other process."},
    {0x00C, "Error in reading or writing data to board."},
    {0x00D, "No function specified."},
    {0x00E, "Kernel Memory allocation in driver failed."},
    {0x010, "Buffer was cancelled."},
    {0x011, "Input buffer too small for this IO-call."},
    {0x012, "Output buffer too small for this IO-call."},
    {0x013, "Driver IO-Function not supported."},
    {0x014, "Buffer failed because device power off."},
    {0x015, "Device is disconnected or power off."},
    {0x016, "Necessary system resource not available."},
    {0x017, "Busreset occured during system call."},
    {0x018, "Image(s) lost in transfer"},
    {0x020, "A call to a windows-function fails."},
    {0x022, "Error in reading/writing to registry."},
    {0x023, "Need newer called vxd or dll."},
    {0x024, "Error while reading from file."},
    {0x025, "Error while writing to file."},
    {0x026, "Camera and dll lut do not match."},
    {0x027, "Grabber does not support transfer format."},
    {0x028, "DMA Error not enough data transferred."},
    {0x029, "version verify failed wrong typ id."},
    {0x02A, "version verify failed wrong size."},
    {0x02B, "version verify failed wrong device id."},
    {0x02C, "firmware is not supported from this driver."},
    {0x02D, "board firmware verify failed."},
    {0x02E, "camera head is not recognized correctly."},
    {0x02F, "firmware does not support camera head."},
    {0x030, "camera head is not connected."},
    {0x031, "camera head power down."},
    {0x032, "camera started.camera busy."},
};

const TextRow kDriverWarningRows[] = {
    {0x000, "OK."},
};

const TextRow kSdkDllErrorRows[] = {
    {0x001, "wSize of an embedded buffer is to small."},
    {0x002, "wSize of a buffer is to small."},
    {0x003, "A dialog is not available."},
    {0x004, "Option is not available."},
    {0x005, "A call to a windows-function fails."},
    {0x006, "Memory area is invalid."},
    {0x008, "Number of available buffers is exhausted."},
    {0x009, "Dialog is already open."},
    {0x00A, "Error while destroying dialog."},
    {0x00B, "A requested buffer is not available."},
    {0x00C, "The buffer nr is out of range."},
    {0x00D, "A DLL could not be found."},
    {0x00E, "Buffer already assigned to another buffernr."},
    {0x00F, "Event already assigned to another buffernr."},
    {0x010, "Recording must be active."},
    {0x011, "A DLL could not be found, due to div by zero."},
    {0x012, "Buffer is already queued."},
    {0x013, "Buffer is not queued."},
};

const TextRow kSdkDllWarningRows[] = {
    {0x001, "Buffers are still allocated"},
    {0x002, "No Images are in the board buffer"},
    {0x003, "value change when testing COC"},
    {0x004, "string buffer to short for replacement"},
};

const TextRow kApplicationErrorRows[] = {
    {0x001, "Error while waiting for a picture."},
    {0x002, "Error while saving file."},
    {0x003, "A function inside a DLL could not be found."},
    {0x004, "A DLL could not be found."},
    {0x005, "The board number is out of range."},
    {0x006, "The decive does not support this function."},
    {0x007, "Started Math with different resolution than reference."},
    {0x008, "Disk full."},
    {0x009, "Error setting values to camera."},
};

const TextRow kApplicationWarningRows[] = {
    {0x001, "Memory recorder buffer is full."},
    {0x002, "Settings have been adapted to valid values."},
};

//                                  rows  listed rows
const TextTable CommonErrorTexts        = Table(19,  kCommonErrorRows);
const TextTable FirmwareErrorTexts      = Table(160, kFirmwareErrorRows);
const TextTable FirmwareWarningTexts    = Table(5,   kFirmwareWarningRows);
const TextTable DriverErrorTexts        = Table(51,  kDriverErrorRows);
const TextTable DriverWarningTexts      = Table(1,   kDriverWarningRows);
const TextTable SdkDllErrorTexts        = Table(20,  kSdkDllErrorRows);
const TextTable SdkDllWarningTexts      = Table(5,   kSdkDllWarningRows);
const TextTable ApplicationErrorTexts   = Table(10,  kApplicationErrorRows);
const TextTable ApplicationWarningTexts = Table(3,   kApplicationWarningRows);

// ---- Layers and devices ---------------------------------------------------------------

struct LayerNames {
  const char* name;
  const TextTable* errors;
  const TextTable* warnings;
};

// Indexed by the layer field; 0 and 5 to 15 are undefined.
const LayerNames kLayers[] = {
    {nullptr, nullptr, nullptr},
    {"Firmware",    &FirmwareErrorTexts,    &FirmwareWarningTexts},
    {"Driver",      &DriverErrorTexts,      &DriverWarningTexts},
    {"SDK DLL",     &SdkDllErrorTexts,      &SdkDllWarningTexts},
    {"Application", &ApplicationErrorTexts, &ApplicationWarningTexts},
};
constexpr uint32_t kLayerCount = sizeof kLayers / sizeof kLayers[0];

struct DeviceName {
  uint8_t layer;
  uint8_t device;
  const char* name;
};

const DeviceName kDevices[] = {
    {1, 0x01, "QD4 Power CPLD"},
    {1, 0x02, "QD4 Head uP"},
    {1, 0x03, "QD4 Main uP"},
    {1, 0x04, "QD4 Firewire uP"},
    {1, 0x05, "QD4 Main FPGA"},
    {1, 0x06, "QD4 Head FPGA"},
    {1, 0x07, "QD4 Main board"},
    {1, 0x08, "QD4 Head CPLD"},
    {1, 0x09, "QD4 Image sensor"},
    {1, 0x0D, "QD4 Power Unit"},
    {1, 0x0E, "QD4 GigE board"},
    {1, 0x0F, "QD4 GigE/USB board"},
    {1, 0x10, "BOOT FPGA"},
    {1, 0x11, "BOOT uP"},
    {2, 0x0B, "vor.camera driver"},
    {2, 0x20, "Tornio driver"},
    {2, 0x21, "Lanticam driver"},
    {2, 0x30, "Firewire driver"},
    {2, 0x31, "USB 2.0 driver"},
    {2, 0x32, "GigE driver"},
    {2, 0x33, "CameraLink driver"},
    {2, 0x34, "USB 3.0 driver"},
    {2, 0x35, "WLan driver"},
    {3, 0x0A, "camera sdk dll"},
    {3, 0x11, "convert dll"},
    {3, 0x12, "file dll"},
    {3, 0x13, "java native dll"},
    {3, 0x14, "programmer library"},
    {4, 0x10, "Kesta"},
    {4, 0x11, "Programmer"},
};

const char* DeviceNameOf(uint32_t layer, uint32_t device) {
  for (const DeviceName& d : kDevices) {
    if (d.layer == layer && d.device == device) return d.name;
  }
  return "Unknown device";
}

const char* MessageOf(ErrorCode code) {
  const uint32_t number = CodeNumber(code);
  const TextTable* table = nullptr;
  if (code & kCommonFlag) {
    table = &CommonErrorTexts;
  } else if (LayerOf(code) > 0 && LayerOf(code) < kLayerCount) {
    table = (code & kWarningFlag) ? kLayers[LayerOf(code)].warnings : kLayers[LayerOf(code)].errors;
  } else {
    return "No error text available!";
  }
  return number < table->rows ? table->Row(number) : "Error code out of range.";
}

}  // namespace

void ComposeErrorText(ErrorCode code, char* out, uint32_t capacity) noexcept {
  if (capacity < kMinErrorTextCapacity) return;
  if (CodeNumber(code) == 0) {
    snprintf(out, capacity, "OK.");
    return;
  }
  const uint32_t layer = LayerOf(code);
  const char* layerName = layer > 0 && layer < kLayerCount ? kLayers[layer].name : "Undefined layer";
  const char* deviceName = layer > 0 && layer < kLayerCount ? DeviceNameOf(layer, DeviceOf(code)) : "Unknown device";

  char line[kErrorTextSize];
  snprintf(line, sizeof line, (code & kWarningFlag) ? "%s warning %x at device '%s': %s" : "%s error %x at device '%s': %s",
           layerName, static_cast<unsigned>(code), deviceName, MessageOf(code));
  if (strlen(line) < capacity) {
    snprintf(out, capacity, "%s", line);
  } else {
    snprintf(out, capacity, "Error buffer too short. err: %x", static_cast<unsigned>(code));
  }
}
