// The y/N question on the terminal, and what is said when it cannot be asked:
// one wording and one reading for the single session and the supervisor.
#pragma once

#include <string>

namespace cli {

enum class YesNo { Yes, No, Stopped, NoTerminal, Background };

// Can the terminal be asked now? Yes when it can, else why not.
YesNo CanAsk();
// Writes "Answer y or N: " after `prompt` (may be empty) to standard error
// and reads the answer; Stopped when an interruption ended the wait.
YesNo AskYesNo(const std::string& prompt);
// y, Y, yes, Yes; anything else is No.
bool IsYes(const std::string& answer);
// What is said of an answer other than Yes (without the program's name), or empty.
std::string YesNoNote(YesNo answer);

}  // namespace cli
