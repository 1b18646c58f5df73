// The Linux port list over a fake sysfs and /dev/serial/by-id, laid out as the
// kernel lays them out: class entries and device links are relative symlinks.
#include "serial/port_list_posix.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "run/port_messages.h"
#include "support/temp_dir.h"

namespace {

TEST(PortListPosix, ListsUartsAndUsbAdaptersWithTheirIdentity) {
  TempDir root;
  const std::string usb = "sys/devices/pci0000:00/0000:00:14.0/usb1/1-2";
  const std::string acm = "sys/devices/pci0000:00/0000:00:14.0/usb1/1-3";
  const struct {
    std::string path, content;  // content "->X": a symlink to X
  } tree[] = {
      {usb + "/idVendor", "0403\n"}, {usb + "/idProduct", "6001\n"},
      {usb + "/manufacturer", "FTDI\x1b[2J\n"}, {usb + "/product", "FT232R USB UART\n"},
      {usb + "/serial", "A10KZ3J1\n"}, {usb + "/1-2:1.0/ttyUSB0/tty/ttyUSB0/dev", "188:0\n"},
      {acm + "/idVendor", "2341\n"}, {acm + "/idProduct", "0043\n"},  // no strings
      {acm + "/1-3:1.0/tty/ttyACM0/dev", "166:0\n"},
      {"sys/devices/platform/serial8250/tty/ttyS1/type", "0\n"},  // no UART behind it
      {"sys/devices/pnp0/00:04/tty/ttyS0/type", "4\n"},
      {"sys/idVendor", "1d6b\n"}, {"sys/idProduct", "0002\n"},  // above every device: not read
      {"sys/class/tty/tts!10/type", "4\n"}, {"sys/class/tty/ttyS2/type", "4\n"},
      {"sys/class/tty/tts!10/device", "->../../../devices/platform/serial8250"},
      {"sys/class/tty/ttyS2/device", "->../../../devices/platform/serial8250"},
      {"sys/class/tty/ttyS10/type", "4\n"},  // after ttyS2: by number, not by text
      {"sys/class/tty/ttyS10/device", "->../../../devices/platform/serial8250"},
      {"sys/devices/virtual/tty/tty1/dev", "4:1\n"},                 // a console: no device
      {"sys/class/tty/ttyUSB0", "->../../" + usb.substr(4) + "/1-2:1.0/ttyUSB0/tty/ttyUSB0"},
      {"sys/class/tty/ttyACM0", "->../../" + acm.substr(4) + "/1-3:1.0/tty/ttyACM0"},
      {"sys/class/tty/ttyS1", "->../../devices/platform/serial8250/tty/ttyS1"},
      {"sys/class/tty/ttyS0", "->../../devices/pnp0/00:04/tty/ttyS0"},
      {"sys/class/tty/tty1", "->../../devices/virtual/tty/tty1"},
      {usb + "/1-2:1.0/ttyUSB0/tty/ttyUSB0/device", "->../../../ttyUSB0"},
      {acm + "/1-3:1.0/tty/ttyACM0/device", "->../../../1-3:1.0"},
      {"sys/devices/platform/serial8250/tty/ttyS1/device", "->../../../serial8250"},
      {"sys/devices/pnp0/00:04/tty/ttyS0/device", "->../../../00:04"},
      {"dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A10KZ3J1-if00-port0", "->../../ttyUSB0"},
      {"dev/serial/by-id/x", "->../../tts/10"},
  };
  for (const auto& entry : tree) {
    if (entry.content.rfind("->", 0) != 0) {
      root.Write(entry.path, entry.content);
      continue;
    }
    std::filesystem::create_directories(std::filesystem::path(root.Path(entry.path)).parent_path());
    ASSERT_EQ(symlink(entry.content.substr(2).c_str(), root.Path(entry.path).c_str()), 0) << entry.path;
  }
  EXPECT_EQ(PortListText(ListSerialPortsUnder(root.Path(""))),
            "/dev/tts/10  /dev/serial/by-id/x\n/dev/ttyACM0  USB 2341:0043\n/dev/ttyS0\n/dev/ttyS2\n/dev/ttyS10\n"
            "/dev/ttyUSB0  /dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A10KZ3J1-if00-port0  "
            "USB 0403:6001  FTDI^[[2J  FT232R USB UART  serial A10KZ3J1\n");
  EXPECT_EQ(PortListText(ListSerialPortsUnder(root.Path("none"))), "No serial ports found.\n");
}

}  // namespace
