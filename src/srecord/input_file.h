// The firmware file as the loader holds it: opened once, only when it is a
// regular file, and kept open from the check to the end of the run, with a
// fingerprint that tells whether it changed since it was checked.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>

// Closes the file when its handle goes, on every way out of a run.
struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};
using FileHandle = std::unique_ptr<std::FILE, FileCloser>;

enum class FileKind {
  kMissing,    // nothing of that name (or it cannot be looked at)
  kRegular,
  kDirectory,
  kOther,      // a device, a pipe, a socket: nothing to flash from
};

// Which file a name or an open stream stands for, and its state: the same
// values mean the same file, unchanged as far as the file system tells.
struct FileIdentity {
  uint64_t volume = 0;
  uint64_t index = 0;    // inode or file index
  int64_t size = -1;
  int64_t modified = 0;  // last write, in the platform's finest unit
  // Last change of the file or its attributes, which no program can set back:
  // a file changed and put back with its old bytes and write time still
  // shows (POSIX ctime, the Windows change time; 0 where it is not kept).
  int64_t changed = 0;
  bool operator==(const FileIdentity& other) const {
    return volume == other.volume && index == other.index && size == other.size &&
           modified == other.modified && changed == other.changed;
  }
  bool operator!=(const FileIdentity& other) const { return !(*this == other); }
};

// Opens `name` for reading in binary mode when it is a regular file, and sets
// `kind`. Anything else is refused before it is opened for reading, so that a
// pipe or a device can never make the open (or a read) wait; so is a file of
// the kernel's own (/proc, /sys), whose read may wait like a device's. Empty
// handle when the file is not regular or cannot be opened; for a regular file
// that cannot be opened, `openError` receives the errno value of the failed
// open. Defined once per platform.
FileHandle OpenRegularFile(const std::string& name, FileKind& kind, int& openError);

// The kind of what `name` stands for now, without opening it for reading.
FileKind KindOfFile(const std::string& name);

// The identity of the file open as `file`, or of the file `name` stands for
// now; false when it cannot be had. Defined once per platform.
bool IdentityOfOpenFile(std::FILE* file, FileIdentity& identity);
bool IdentityOfPath(const std::string& name, FileIdentity& identity);

// The SHA-256 (64 lower-case hex digits) and the count of the bytes of
// `file` from its position to its end. False on a read error, when more than
// `mostBytes` came, or when `stop` (if given) asks for it after a piece.
bool HashRestOfFile(std::FILE* file, int64_t mostBytes, const std::function<bool()>& stop,
                    int64_t& size, std::string& digest);

// The SHA-256 of every byte of `file`, read from its start; the position is
// restored. False on a read error.
bool DigestOfFile(std::FILE* file, std::string& digest);

// What the check saw: the file's identity and the digest of its bytes.
struct FileFingerprint {
  FileIdentity identity;
  std::string digest;
};

// Takes the fingerprint of the open file.
bool TakeFingerprint(std::FILE* file, FileFingerprint& fingerprint);

// True when `name` still names the open `file`, and the file has the identity
// and the bytes it had when `checked` was taken.
bool FileUnchanged(const std::string& name, std::FILE* file, const FileFingerprint& checked);
