#include "serial/port_list.h"

#include <windows.h>
#include <setupapi.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace {

// The device setup class of serial and parallel ports ("Ports (COM & LPT)").
const GUID kPortsClass = {0x4d36e978, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};

// The COM names the serial drivers have registered.
std::vector<std::string> RegisteredComNames() {
  std::vector<std::string> names;
  HKEY key;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) !=
      ERROR_SUCCESS) {
    return names;
  }
  for (DWORD index = 0;; ++index) {
    char valueName[256], data[256];
    DWORD nameSize = sizeof valueName, dataSize = sizeof data - 1, type = 0;
    const LONG result = RegEnumValueA(key, index, valueName, &nameSize, nullptr, &type,
                                      reinterpret_cast<BYTE*>(data), &dataSize);
    if (result == ERROR_NO_MORE_ITEMS) break;
    if (result != ERROR_SUCCESS || type != REG_SZ) continue;
    data[dataSize] = '\0';
    // Only COM ports can be given to the loader (by their number).
    if (std::strncmp(data, "COM", 3) == 0) names.emplace_back(data);
  }
  RegCloseKey(key);
  return names;
}

std::string Property(HDEVINFO devices, SP_DEVINFO_DATA& device, DWORD property) {
  char text[512] = {};
  if (!SetupDiGetDeviceRegistryPropertyA(devices, &device, property, nullptr,
                                         reinterpret_cast<BYTE*>(text), sizeof text - 1, nullptr)) {
    return "";
  }
  return text;  // of a list (the hardware ids), the first
}

std::string PortNameOf(HDEVINFO devices, SP_DEVINFO_DATA& device) {
  HKEY key = SetupDiOpenDevRegKey(devices, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
  if (key == INVALID_HANDLE_VALUE) return "";
  char name[64] = {};
  DWORD size = sizeof name - 1, type = 0;
  const bool ok = RegQueryValueExA(key, "PortName", nullptr, &type, reinterpret_cast<BYTE*>(name),
                                   &size) == ERROR_SUCCESS && type == REG_SZ;
  RegCloseKey(key);
  return ok ? name : "";
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

// A USB device's instance id is USB\VID_v&PID_p\SERIAL when the device has a
// serial number; Windows makes one up with '&' in it when it has none.
std::string SerialOf(HDEVINFO devices, SP_DEVINFO_DATA& device) {
  char id[512] = {};
  if (!SetupDiGetDeviceInstanceIdA(devices, &device, id, sizeof id, nullptr)) return "";
  const std::string instance = id;
  if (instance.rfind("USB\\", 0) != 0) return "";
  const std::string last = instance.substr(instance.find_last_of('\\') + 1);
  return last.find('&') == std::string::npos ? last : "";
}

// SetupAPI's ports with their friendly names and USB identities.
std::vector<SerialPortInfo> SetupApiPorts() {
  std::vector<SerialPortInfo> ports;
  HDEVINFO devices = SetupDiGetClassDevsA(&kPortsClass, nullptr, nullptr, DIGCF_PRESENT);
  if (devices == INVALID_HANDLE_VALUE) return ports;
  SP_DEVINFO_DATA device;
  device.cbSize = sizeof device;
  for (DWORD index = 0; SetupDiEnumDeviceInfo(devices, index, &device); ++index) {
    SerialPortInfo port;
    port.name = PortNameOf(devices, device);
    if (port.name.rfind("COM", 0) != 0) continue;  // LPT ports are in the class too
    port.alias = Property(devices, device, SPDRP_FRIENDLYNAME);
    port.usbId = UsbIdOf(Property(devices, device, SPDRP_HARDWAREID));
    if (!port.usbId.empty()) {
      port.manufacturer = Property(devices, device, SPDRP_MFG);
      port.serial = SerialOf(devices, device);
    }
    ports.push_back(port);
  }
  SetupDiDestroyDeviceInfoList(devices);
  return ports;
}

}  // namespace

std::vector<SerialPortInfo> ListSerialPorts() {
  std::vector<SerialPortInfo> ports = SetupApiPorts();
  for (const std::string& name : RegisteredComNames()) {
    const auto same = [&name](const SerialPortInfo& p) { return _stricmp(p.name.c_str(), name.c_str()) == 0; };
    if (std::none_of(ports.begin(), ports.end(), same)) ports.push_back(SerialPortInfo{name, "", "", "", "", ""});
  }
  std::sort(ports.begin(), ports.end(), [](const SerialPortInfo& a, const SerialPortInfo& b) {
    return std::atoi(a.name.c_str() + 3) < std::atoi(b.name.c_str() + 3);
  });
  return ports;
}

std::string ListedPortName(const std::string& portName) {
  return portName.rfind("\\\\.\\", 0) == 0 ? portName.substr(4) : portName;
}
