#include "run/command_line.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/temp_dir.h"

namespace {

// `text` with "{F}" standing for the scratch directory.
std::string InDir(const TempDir& dir, std::string text) {
  const auto at = text.find("{F}");
  return at == std::string::npos ? text : text.replace(at, 3, dir.Path(""));
}

struct Parsed {
  CommandLine line;
};

// Runs the parse and the port step over `args` (without the program name); a
// refused port argument leaves port 0.
Parsed Parse(const TempDir& dir, const std::vector<std::string>& args) {
  std::vector<std::string> storage = {"talvorn"};
  for (const std::string& arg : args) storage.push_back(InDir(dir, arg));
  std::vector<char*> argv;
  for (std::string& arg : storage) argv.push_back(arg.data());
  Parsed parsed;
  const int argc = static_cast<int>(argv.size());
  parsed.line = ParseCommandLine(argc, argv.data());
  RunOptions& options = parsed.line.options;
  if (parsed.line.request != CommandLineRequest::kFlash) return parsed;
  if (!TakePort(options, argc, argv.data(), parsed.line.portIndex)) options.portNumber = 0;
  return parsed;
}

TEST(ParseCommandLine, TakesOptionsFileAndPort) {
  const struct {
    std::vector<std::string> args;  // the file is the argument in the scratch directory
    std::string flags;              // d: debug, p: pad, v: verbose, b: boot overwrite
    int port;                       // 0: the port argument is refused
  } cases[] = {
      {{"-D", "-v", "{F}fw.m0", "3"}, "dv", 3},
      {{"-debug", "-Pad", "{F}fw.m0"}, "dp", 1},
      {{"-b", "-x", "-", "{F}fw.m0"}, "b", 1},
      {{"{F}fw.m0", "-d"}, "", 0},  // an option after the file is the port
      {{"{F}fw.m0", "12", "ignored"}, "", 12},
      {{"-v", "{F}-d"}, "v", 1},
  };
  for (const auto& c : cases) {
    TempDir dir;
    const Parsed parsed = Parse(dir, c.args);
    const RunOptions& s = parsed.line.options;
    const std::string flags = std::string(s.debugRecords ? "d" : "") + (s.padRecords ? "p" : "") +
                              (s.verbose ? "v" : "") + (s.bootOverwrite ? "b" : "");
    SCOPED_TRACE(c.args[0] + " ... " + c.args.back());
    ASSERT_EQ(parsed.line.request, CommandLineRequest::kFlash) << parsed.line.refusal;
    for (const std::string& arg : c.args) {
      EXPECT_TRUE(arg.rfind("{F}", 0) != 0 || s.fileName == InDir(dir, arg)) << s.fileName;
    }
    EXPECT_EQ(flags, c.flags);
    EXPECT_EQ(s.portNumber, c.port);
  }
}

TEST(ComPortNumber, TakesNumbersAndComNamesFrom1To255) {
  const struct {
    const char* text;
    int expected;  // 0: not a port
  } cases[] = {{"3", 3},     {"COM3", 3},  {"com12", 12}, {"Com255", 255}, {"007", 7},
                {"0", 0},     {"256", 0},   {"COM0", 0},   {"COM256", 0},   {"-2", 0},
                {" 3", 0},    {"3x", 0},    {"COM", 0},    {"", 0},         {"COM3x", 0},
                {"abc", 0},   {"COMCOM3", 0}, {"99999999999", 0}};
  for (const auto& c : cases) EXPECT_EQ(ComPortNumber(c.text), c.expected) << c.text;
}

// Only the last path component decides; where file names ignore case
// (Windows), "fw.abs" already finds "fw.ABS".
TEST(CompleteFileName, AppendsTheExtensionThatExists) {
  const struct {
    const char* name;
    std::vector<const char*> files;
    std::string expected;
  } cases[] = {
      {"fw", {"fw.abs"}, "fw.abs"},       {"fw", {"fw.ABS"}, "fw.ABS"},
      {"fw", {"fw.abs", "fw.ABS"}, "fw.abs"}, {"fw", {"fw"}, "fw"},
      {"fw", {}, "fw"},                   {"fw.m0", {"fw.m0.abs"}, "fw.m0"},
      {".hidden", {".hidden.abs"}, ".hidden"}, {"v1.2/fw", {"v1.2/fw.abs"}, "v1.2/fw.abs"},
      {"fw", {"fw", "fw.abs"}, "fw"},     {"fw", {"fw.abs/x"}, "fw"},
  };
  for (const auto& c : cases) {
    TempDir dir;
    for (const char* file : c.files) dir.Write(file, "x");
    const bool foldsCase = c.expected == "fw.ABS" && std::filesystem::is_regular_file(dir.Path("fw.abs"));
    EXPECT_EQ(CompleteFileName(dir.Path(c.name)), dir.Path(foldsCase ? "fw.abs" : c.expected));
  }
}

}  // namespace
