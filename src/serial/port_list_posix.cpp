#include "serial/port_list_posix.h"

#include <dirent.h>
#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <map>


namespace {

std::vector<std::string> Entries(const std::string& folder) {
  std::vector<std::string> names;
  DIR* dir = opendir(folder.c_str());
  if (dir == nullptr) return names;
  while (const dirent* entry = readdir(dir)) {
    if (entry->d_name[0] != '.') names.emplace_back(entry->d_name);
  }
  closedir(dir);
  return names;
}

// The first line of a sysfs attribute; "" when there is none.
std::string Attribute(const std::string& path) {
  std::ifstream in(path);
  std::string line;
  std::getline(in, line);
  return line;
}

std::string RealPath(const std::string& path) {
  char resolved[PATH_MAX];
  return realpath(path.c_str(), resolved) != nullptr ? resolved : "";
}

// The USB device a tty hangs from: the nearest folder above its device that
// has a vendor and a product id. Stops at the sysfs root.
void AddUsbIdentity(const std::string& sysfs, const std::string& device, SerialPortInfo& port) {
  for (std::string folder = device; folder.size() > sysfs.size();
       folder.erase(folder.find_last_of('/'))) {
    const std::string vendor = Attribute(folder + "/idVendor");
    const std::string product = Attribute(folder + "/idProduct");
    if (vendor.empty() || product.empty()) continue;
    port.usbId = vendor + ":" + product;
    port.manufacturer = Attribute(folder + "/manufacturer");
    port.product = Attribute(folder + "/product");
    port.serial = Attribute(folder + "/serial");
    return;
  }
}

// ttyS2 before ttyS10: the name's stem, then its number.
bool NameOrder(const SerialPortInfo& a, const SerialPortInfo& b) {
  const auto split = [](const std::string& name) {
    size_t digits = name.size();
    while (digits > 0 && std::isdigit(static_cast<unsigned char>(name[digits - 1]))) --digits;
    return std::make_pair(name.substr(0, digits), name.size() - digits);
  };
  const auto [stemA, lengthA] = split(a.name);
  const auto [stemB, lengthB] = split(b.name);
  if (stemA != stemB) return stemA < stemB;
  return lengthA != lengthB ? lengthA < lengthB : a.name < b.name;
}

}  // namespace

std::vector<SerialPortInfo> ListSerialPortsUnder(const std::string& root) {
  const std::string sysfs = RealPath(root + "/sys");
  const std::string byId = root + "/dev/serial/by-id";
  std::map<std::string, std::string> links;  // tty name -> its by-id link
  for (const std::string& link : Entries(byId)) {
    char target[PATH_MAX];
    const ssize_t length = readlink((byId + "/" + link).c_str(), target, sizeof target - 1);
    if (length <= 0) continue;
    // udev's links are "../../ttyUSB0": the tty's path under /dev follows the "../" parts.
    std::string tty(target, static_cast<size_t>(length));
    while (tty.rfind("../", 0) == 0) tty.erase(0, 3);
    links[tty] = "/dev/serial/by-id/" + link;
  }
  std::vector<SerialPortInfo> ports;
  const std::string classTty = root + "/sys/class/tty/";
  for (const std::string& tty : Entries(classTty)) {
    const std::string device = RealPath(classTty + tty + "/device");
    if (sysfs.empty() || device.empty()) continue;
    const std::string type = Attribute(classTty + tty + "/type");
    if (type == "0") continue;
    SerialPortInfo port;
    // The kernel names a device under a folder of /dev with "!" for "/".
    std::string path = tty;
    std::replace(path.begin(), path.end(), '!', '/');
    port.name = "/dev/" + path;
    if (links.count(path) != 0) port.alias = links[path];
    AddUsbIdentity(sysfs, device, port);
    ports.push_back(port);
  }
  std::sort(ports.begin(), ports.end(), NameOrder);
  return ports;
}

std::vector<SerialPortInfo> ListSerialPorts() { return ListSerialPortsUnder(""); }

std::string ListedPortName(const std::string& portName) {
  const std::string real = RealPath(portName);
  return real.empty() ? portName : real;
}
