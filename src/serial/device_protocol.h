// The loader's side of the conversation with the instrument: wake-up, prompt-
// driven command lines, the start command and the answer line to a packet.
//
// Every wait polls the port for one character that has already arrived and is
// bounded by a count of polls; the prompt waits and the start-answer wait also
// end when a key is waiting at the console (the key is left for the caller).
// Every wait ends at its next poll once the port is lost (CSerial::Lost): the
// caller tells that apart from a silent instrument by asking the port.
#pragma once

#include <cstdint>

#include "run/flash_state.h"

class CSerial;

// Poll limits of the conversation.
constexpr int16_t kWakePromptPolls = 5000;
constexpr int16_t kEchoPolls = 500;
constexpr int16_t kCommandPromptPolls = 2500;
constexpr int32_t kStartAnswerIdlePolls = 2000;
constexpr int32_t kResponsePolls = 5000000;
// Longest command text; the line with its "\r" and a zero fits 80 bytes.
constexpr int kMaxCommandLength = 78;

// One poll: true when a character arrived (it is then in state.lastChar,
// which is 0 after an empty poll). Echoes it with "-v".
bool ReceiveChar(FlashState& state, CSerial& port);
// Waits for '>' through at most `limit` empty polls (at least one poll), a
// 1 ms pause after each; false at the limit or when a key is waiting.
bool WaitForPrompt(FlashState& state, CSerial& port, int16_t limit);
// Sends `text` and "\r", waits for the echoed '\r' (500 empty polls), then for
// the prompt (2500). Beeps and returns false when no prompt came (no beep
// when the port was lost).
bool SendCommand(FlashState& state, CSerial& port, const char* text);
// Prints the "Waking up device" text, purges the input, sends "===\n" and
// waits for the prompt (5000 empty polls).
bool WakeDevice(FlashState& state, CSerial& port);
// Sends "$\r" ("%%\r" in boot-sector overwrite mode) and waits for the
// answer's line feed (until 2000 empty polls in a row or a key).
void SendStartCommand(FlashState& state, CSerial& port);
// Reads the answer line to a packet into state.responseLine (at most 160
// characters kept) within 5,000,000 polls. True when the line is a line feed
// alone; otherwise the text, or "Response Timeout" when nothing came.
bool ReadResponseLine(FlashState& state, CSerial& port);
