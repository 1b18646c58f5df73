#include "sim_options.h"

#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>

namespace {

bool ToNumber(const char* text, int& value) {
  char* end = nullptr;
  const long number = std::strtol(text, &end, 10);
  if (end == text || *end != '\0' || number < 0 || number > 1000000000L) return false;
  value = static_cast<int>(number);
  return true;
}

// Argument cursor over argv, so each option takes its values in turn.
class Arguments {
 public:
  Arguments(int argc, char** argv) : argc_(argc), argv_(argv) {}
  bool More() const { return next_ < argc_; }
  const char* Take() { return argv_[next_++]; }

 private:
  int argc_;
  char** argv_;
  int next_ = 1;
};

using OptionHandler = std::function<bool(Arguments&, SimOptions&)>;

OptionHandler TextValue(std::string SimOptions::*field) {
  return [field](Arguments& args, SimOptions& options) {
    if (!args.More()) return false;
    options.*field = args.Take();
    return true;
  };
}

OptionHandler NumberValue(int SimOptions::*field) {
  return [field](Arguments& args, SimOptions& options) {
    return args.More() && ToNumber(args.Take(), options.*field);
  };
}

OptionHandler Flag(bool SimOptions::*field, bool value) {
  return [field, value](Arguments&, SimOptions& options) {
    options.*field = value;
    return true;
  };
}

const std::map<std::string, OptionHandler>& Handlers() {
  static const std::map<std::string, OptionHandler> handlers = {
      {"--image", TextValue(&SimOptions::imagePath)},
      {"--log", TextValue(&SimOptions::logPath)},
      {"--check", TextValue(&SimOptions::checkPath)},
      {"--once", Flag(&SimOptions::once, true)},
      {"--timeout", NumberValue(&SimOptions::timeoutSeconds)},
      {"--ignore-wakeups", NumberValue(&SimOptions::ignoreWakeups)},
      {"--error-at",
       [](Arguments& args, SimOptions& options) {
         return NumberValue(&SimOptions::errorAt)(args, options) &&
                TextValue(&SimOptions::errorText)(args, options);
       }},
      {"--crlf-at", NumberValue(&SimOptions::crlfAt)},
      {"--extra-lf-at", NumberValue(&SimOptions::extraLineFeedAt)},
      {"--start-extra-lf", Flag(&SimOptions::startExtraLineFeed, true)},
      {"--silent-at", NumberValue(&SimOptions::silentAt)},
      {"--hangup-at", NumberValue(&SimOptions::hangupAt)},
      {"--hangup-in-setup", NumberValue(&SimOptions::hangupInSetup)},
      {"--delay-ms", NumberValue(&SimOptions::delayMs)},
      {"--prompt-delay-ms", NumberValue(&SimOptions::promptDelayMs)},
      {"--line-rate", Flag(&SimOptions::lineRate, true)},
      {"--noise", Flag(&SimOptions::noise, true)},
      {"--no-start-answer", Flag(&SimOptions::startAnswer, false)},
      {"--start-answer", TextValue(&SimOptions::startAnswerText)},
      {"--help", Flag(&SimOptions::help, true)},
  };
  return handlers;
}

}  // namespace

bool ParseSimOptions(int argc, char** argv, SimOptions& options, std::string& error) {
  Arguments args(argc, argv);
  while (args.More()) {
    const std::string name = args.Take();
    const auto it = Handlers().find(name);
    if (it == Handlers().end()) {
      error = "unknown option " + name;
      return false;
    }
    if (!it->second(args, options)) {
      error = "option " + name + " needs a valid value";
      return false;
    }
  }
  if (options.timeoutSeconds == 0) {
    error = "--timeout must be at least 1 second";
    return false;
  }
  return true;
}

const char* SimUsage() {
  return "usage: talvorn-sim [options]\n"
         "  Plays the instrument on a new pseudo-terminal and prints its path.\n"
         "  --image FILE        write the flashed memory image (.bin raw, else S-records)\n"
         "  --log FILE          write one line per received packet\n"
         "  --check FILE        compare the flashed image with the S2 data of FILE\n"
         "  --once              exit when the loader closes the line after a session\n"
         "  --timeout S         exit after S seconds without a byte from the loader\n"
         "                      (default 120)\n"
         "  --ignore-wakeups K  ignore the first K wake-up strings\n"
         "  --error-at K TEXT   answer packet K with TEXT and CR LF\n"
         "  --crlf-at K         answer packet K with CR LF\n"
         "  --extra-lf-at K     send one more line feed after the answer to packet K\n"
         "  --silent-at K       never answer packet K\n"
         "  --hangup-at K       close the line when packet K arrives\n"
         "  --hangup-in-setup K close the line when set-up line K arrives (1 the wake-up\n"
         "                      string, 2-4 the set-up commands, 5 the start command)\n"
         "  --delay-ms N        delay every packet answer by N ms\n"
         "  --prompt-delay-ms N delay the prompt after every command line by N ms\n"
         "  --line-rate         pace the line at 115200 8N1 both ways: send no faster,\n"
         "                      and answer no byte before it could have arrived\n"
         "  --noise             send junk bytes at line open and before wake-up prompts\n"
         "  --no-start-answer   send no answer line to the start command\n"
         "  --start-answer TEXT answer the start command with TEXT and CR LF\n"
         "  --start-extra-lf    send one more line feed after the start answer\n"
         "  --help              print this text\n";
}
