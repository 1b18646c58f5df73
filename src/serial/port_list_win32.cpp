#include "serial/port_list_win32.h"

#include <windows.h>
#include <setupapi.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <cwchar>

#include "console/wide_text_win32.h"
#include "serial/port_name.h"

namespace {

// The device setup class of serial and parallel ports ("Ports (COM & LPT)").
const GUID kPortsClass = {0x4d36e978, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};

// The USB product string the device itself reports (Windows 7 and later);
// SetupAPI's own texts are the driver package's ("Microsoft" makes every CDC
// port), not the device's.
const DEVPROPKEY kBusReportedDeviceDesc = {
    {0x540b947e, 0x8b40, 0x45bc, {0xa8, 0xa2, 0x6a, 0x0b, 0x89, 0x4c, 0xbd, 0xa2}}, 4};

// The COM names the serial drivers have registered.
std::vector<std::string> RegisteredComNames() {
  std::vector<std::string> names;
  HKEY key;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) !=
      ERROR_SUCCESS) {
    return names;
  }
  for (DWORD index = 0;; ++index) {
    wchar_t valueName[256], data[256];
    DWORD nameSize = 256, dataSize = sizeof data - sizeof data[0], type = 0;
    const LONG result = RegEnumValueW(key, index, valueName, &nameSize, nullptr, &type,
                                      reinterpret_cast<BYTE*>(data), &dataSize);
    if (result == ERROR_NO_MORE_ITEMS) break;
    if (result != ERROR_SUCCESS || type != REG_SZ) continue;
    data[dataSize / sizeof data[0]] = L'\0';
    // Only COM ports can be given to the loader (by their number).
    if (std::wcsncmp(data, L"COM", 3) == 0) names.push_back(Utf8Text(data));
  }
  RegCloseKey(key);
  return names;
}

std::string Property(HDEVINFO devices, SP_DEVINFO_DATA& device, DWORD property) {
  wchar_t text[512] = {};
  const DWORD size = sizeof text - sizeof text[0];
  if (!SetupDiGetDeviceRegistryPropertyW(devices, &device, property, nullptr,
                                         reinterpret_cast<BYTE*>(text), size, nullptr)) {
    return "";
  }
  return Utf8Text(text);  // of a list (the hardware ids), the first
}

std::string ReportedProduct(HDEVINFO devices, SP_DEVINFO_DATA& device) {
  wchar_t text[256] = {};
  DEVPROPTYPE type = 0;
  if (!SetupDiGetDevicePropertyW(devices, &device, &kBusReportedDeviceDesc, &type,
                                 reinterpret_cast<BYTE*>(text), sizeof text - sizeof text[0],
                                 nullptr, 0) ||
      type != DEVPROP_TYPE_STRING) {
    return "";
  }
  return Utf8Text(text);
}

std::string PortNameOf(HDEVINFO devices, SP_DEVINFO_DATA& device) {
  HKEY key = SetupDiOpenDevRegKey(devices, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
  if (key == INVALID_HANDLE_VALUE) return "";
  wchar_t name[64] = {};
  DWORD size = sizeof name - sizeof name[0], type = 0;
  const bool ok = RegQueryValueExW(key, L"PortName", nullptr, &type, reinterpret_cast<BYTE*>(name),
                                   &size) == ERROR_SUCCESS && type == REG_SZ;
  RegCloseKey(key);
  return ok ? Utf8Text(name) : "";
}

// "...VID_0403&PID_6001..." (USB) or "...VID_0403+PID_6001..." (FTDI's bus).
std::string UsbIdOf(const std::string& hardwareId) {
  const size_t vid = hardwareId.find("VID_"), pid = hardwareId.find("PID_");
  if (vid == std::string::npos || pid == std::string::npos) return "";
  std::string id = hardwareId.substr(vid + 4, 4) + ":" + hardwareId.substr(pid + 4, 4);
  std::transform(id.begin(), id.end(), id.begin(), [](char c) {
    return static_cast<char>(c >= 'A' && c <= 'F' ? c - 'A' + 'a' : c);
  });
  return id;
}

std::string SerialOf(HDEVINFO devices, SP_DEVINFO_DATA& device) {
  wchar_t id[512] = {};
  if (!SetupDiGetDeviceInstanceIdW(devices, &device, id, 512, nullptr)) return "";
  return SerialNumberInInstanceId(Utf8Text(id));
}

// SetupAPI's ports with their friendly names and USB identities.
std::vector<SerialPortInfo> SetupApiPorts() {
  std::vector<SerialPortInfo> ports;
  HDEVINFO devices = SetupDiGetClassDevsW(&kPortsClass, nullptr, nullptr, DIGCF_PRESENT);
  if (devices == INVALID_HANDLE_VALUE) return ports;
  SP_DEVINFO_DATA device;
  device.cbSize = sizeof device;
  for (DWORD index = 0; SetupDiEnumDeviceInfo(devices, index, &device); ++index) {
    SerialPortInfo port;
    port.name = PortNameOf(devices, device);
    if (port.name.rfind("COM", 0) != 0) continue;  // LPT ports are in the class too
    port.alias = Property(devices, device, SPDRP_FRIENDLYNAME);
    port.usbId = UsbIdOf(Property(devices, device, SPDRP_HARDWAREID));
    // The maker is known only by the driver package here: left out.
    if (!port.usbId.empty()) {
      port.product = ReportedProduct(devices, device);
      port.serial = SerialOf(devices, device);
    }
    ports.push_back(port);
  }
  SetupDiDestroyDeviceInfoList(devices);
  return ports;
}

}  // namespace

std::string SerialNumberInInstanceId(const std::string& instance) {
  if (instance.rfind("FTDIBUS\\", 0) == 0) {
    const size_t plus = instance.rfind('+'), end = instance.find('\\', plus);
    if (plus == std::string::npos || end == std::string::npos || end - plus < 3) return "";
    return instance.substr(plus + 1, end - plus - 2);
  }
  if (instance.rfind("USB\\", 0) != 0) return "";
  const std::string last = instance.substr(instance.find_last_of('\\') + 1);
  return last.find('&') == std::string::npos ? last : "";
}

std::vector<SerialPortInfo> ListSerialPorts() {
  std::vector<SerialPortInfo> ports = SetupApiPorts();
  for (const std::string& name : RegisteredComNames()) {
    const auto same = [&name](const SerialPortInfo& p) { return _stricmp(p.name.c_str(), name.c_str()) == 0; };
    if (std::none_of(ports.begin(), ports.end(), same)) ports.push_back(SerialPortInfo{name, "", "", "", "", ""});
  }
  std::sort(ports.begin(), ports.end(), [](const SerialPortInfo& a, const SerialPortInfo& b) {
    return ComPortNumber(a.name, INT_MAX) < ComPortNumber(b.name, INT_MAX);
  });
  return ports;
}

std::string ListedPortName(const std::string& portName) {
  return portName.rfind("\\\\.\\", 0) == 0 ? portName.substr(4) : portName;
}
