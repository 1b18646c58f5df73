#include "run/firmware.h"

#include <climits>

bool OpenFirmware(Firmware& firmware, const std::string& name, bool padded) {
  firmware.name = name;
  firmware.reader.padded = padded;
  firmware.reader.file = OpenRegularFile(name, firmware.kind, firmware.openError);
  // A directory, a device or a file that cannot be read is there but gives
  // no firmware: the check says which.
  if (!firmware.reader.file) return firmware.kind != FileKind::kMissing;
  firmware.size = FileSize(firmware.reader.file.get());
  return true;
}

bool FirmwareAsChecked(const Firmware& firmware) {
  return FileUnchanged(firmware.name, firmware.reader.file.get(), firmware.checked);
}

bool RewindFirmware(Firmware& firmware) { return RewindReader(firmware.reader); }

void CountProgressFromHere(Firmware& firmware) { firmware.reader.bytesRead = 0; }

int32_t FileSize(std::FILE* file) {
  const long here = std::ftell(file);
  if (here < 0) return -1;
  if (std::fseek(file, 0, SEEK_END) != 0) return -1;
  const long size = std::ftell(file);
  std::fseek(file, here, SEEK_SET);
  if (size < 0 || size > INT32_MAX) return -1;
  return static_cast<int32_t>(size);
}
