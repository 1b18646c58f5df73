// bench_validate: how fast ValidateFile checks an S-record file, and how much
// memory it takes to do so.
//
//   bench_validate
//       writes a 1 KiB and a 16 MiB S-record file into a temporary folder and
//       measures each in a process of its own, so that each peak RSS belongs
//       to one file alone
//   bench_validate FILE [REPEATS]
//       validates FILE REPEATS times (default 5) in this process and prints
//       the best time, the rate and the peak RSS
//   bench_validate --generate FILE BYTES
//       writes a word-addressed S2 file (S0 header, 32 data bytes a record,
//       S8 terminator, CR LF line ends) of at most BYTES bytes
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "srecord/srecord_validator.h"

namespace {

constexpr int kDataBytesPerRecord = 32;

// One record line with its checksum and CR LF; returns its length.
int FormatRecord(char* out, char type, const unsigned char* bytes, int byteCount) {
  const int count = byteCount + 1;
  unsigned sum = static_cast<unsigned>(count);
  int at = std::snprintf(out, 8, "S%c%02X", type, count);
  for (int i = 0; i < byteCount; ++i) {
    at += std::snprintf(out + at, 3, "%02X", bytes[i]);
    sum += bytes[i];
  }
  at += std::snprintf(out + at, 5, "%02X\r\n", 0xFFu - (sum & 0xFFu));
  return at;
}

bool Generate(const char* fileName, long limit) {
  std::FILE* file = std::fopen(fileName, "wb");
  if (file == nullptr) return false;
  char line[200];
  unsigned char bytes[3 + kDataBytesPerRecord];
  long written = 0;

  const char header[] = "\0\0bench image";
  int length = FormatRecord(line, '0', reinterpret_cast<const unsigned char*>(header),
                            static_cast<int>(sizeof header - 1));
  written += static_cast<long>(std::fwrite(line, 1, static_cast<std::size_t>(length), file));

  const unsigned char start[3] = {0, 0, 0};
  char terminator[32];
  const int terminatorLength = FormatRecord(terminator, '8', start, 3);

  uint32_t word = 0;  // the instrument counts S2 addresses in 4-byte words
  uint32_t noise = 12345;
  const int recordLength = 4 + 2 * (4 + kDataBytesPerRecord) + 2;
  while (written + recordLength + terminatorLength <= limit) {
    bytes[0] = static_cast<unsigned char>(word >> 16);
    bytes[1] = static_cast<unsigned char>(word >> 8);
    bytes[2] = static_cast<unsigned char>(word);
    for (int i = 0; i < kDataBytesPerRecord; ++i) {
      noise = noise * 1103515245u + 12345u;
      bytes[3 + i] = static_cast<unsigned char>(noise >> 16);
    }
    length = FormatRecord(line, '2', bytes, 3 + kDataBytesPerRecord);
    written += static_cast<long>(std::fwrite(line, 1, static_cast<std::size_t>(length), file));
    word += kDataBytesPerRecord / 4;
  }
  std::fwrite(terminator, 1, static_cast<std::size_t>(terminatorLength), file);
  return std::fclose(file) == 0;
}

long FileBytes(const char* fileName) {
  std::FILE* file = std::fopen(fileName, "rb");
  if (file == nullptr) return -1;
  std::fseek(file, 0, SEEK_END);
  const long size = std::ftell(file);
  std::fclose(file);
  return size;
}

int Measure(const char* fileName, int repeats) {
  double best = 1e30;
  ValidationResult result;
  for (int i = 0; i < repeats; ++i) {
    const auto begin = std::chrono::steady_clock::now();
    SRecordReader reader;
    reader.file.reset(std::fopen(fileName, "rb"));
    result = ValidateFile(reader);
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - begin;
    if (took.count() < best) best = took.count();
  }
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  const long bytes = FileBytes(fileName);
  std::printf("%-40s %9ld bytes  best of %d: %8.4f s  %7.1f MB/s  peak RSS %ld KiB  %s\n",
              fileName, bytes, repeats, best, static_cast<double>(bytes) / 1e6 / best,
              usage.ru_maxrss, result.ok ? "valid" : ValidationMessage(fileName, result).c_str());
  return result.ok ? 0 : 1;
}

// Runs this program again on one file, so the peak RSS is that file's alone.
int MeasureInChild(const char* fileName, const char* repeats) {
  std::fflush(stdout);
  const pid_t child = fork();
  if (child < 0) return 1;
  if (child == 0) {
    execl("/proc/self/exe", "bench_validate", fileName, repeats, static_cast<char*>(nullptr));
    _exit(127);
  }
  int status = 0;
  if (waitpid(child, &status, 0) != child) return 1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}

int GenerateAndMeasure() {
  char folder[] = "/tmp/bench_validate.XXXXXX";
  if (mkdtemp(folder) == nullptr) return 1;
  const std::string small = std::string(folder) + "/small.m0";
  const std::string large = std::string(folder) + "/large.m0";
  int failures = 0;
  if (!Generate(small.c_str(), 1024) || !Generate(large.c_str(), 16L * 1024 * 1024)) {
    std::fprintf(stderr, "cannot write the files in %s\n", folder);
    failures = 1;
  } else {
    failures += MeasureInChild(small.c_str(), "5");
    failures += MeasureInChild(large.c_str(), "5");
  }
  std::remove(small.c_str());
  std::remove(large.c_str());
  rmdir(folder);
  return failures == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 1) return GenerateAndMeasure();
  if (argc == 4 && std::string(argv[1]) == "--generate") {
    return Generate(argv[2], std::atol(argv[3])) ? 0 : 1;
  }
  if (argc == 2 || argc == 3) {
    const int repeats = argc == 3 ? std::atoi(argv[2]) : 5;
    return Measure(argv[1], repeats > 0 ? repeats : 1);
  }
  std::fprintf(stderr, "usage: bench_validate [FILE [REPEATS] | --generate FILE BYTES]\n");
  return 2;
}
