// Serial numbers as Windows' device instance ids carry them.
#include "serial/port_list_win32.h"

#include <gtest/gtest.h>

TEST(PortListWin32, SerialNumberInInstanceId) {
  const struct {
    const char* instance;
    const char* serial;
  } cases[] = {{"USB\\VID_2341&PID_0043\\95530343834351A0B1C1", "95530343834351A0B1C1"},
               {"USB\\VID_067B&PID_2303\\5&2A3B4C5D&0&2", ""},  // made up by Windows
               {"FTDIBUS\\VID_0403+PID_6001+A9QW3ZKXA\\0000", "A9QW3ZKX"},
               {"FTDIBUS\\VID_0403+PID_6010+FT4ABCDEB\\0000", "FT4ABCDE"},  // its port B
               {"ACPI\\PNP0501\\1", ""}};
  for (const auto& c : cases) {
    EXPECT_EQ(SerialNumberInInstanceId(c.instance), c.serial) << c.instance;
  }
}
