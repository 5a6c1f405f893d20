// The setup program's command line.
//
//   ZenthraSetup [--root DIR] [-b | /b]
//
// --root DIR (or --root=DIR), anywhere among the arguments, names the server
// root and is taken out first; what remains, joined by single blanks, is the
// argument text in which the window looks for the batch switch. So
// "--root DIR -b" and "-b --root DIR" both run in batch mode on DIR.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace setup {

struct CommandLine {
  std::string argumentText;         // the arguments without --root DIR
  std::optional<std::string> root;  // DIR of --root, when given
  bool help = false;                // "--help" or "-h" was the whole argument text
  std::string error;                // why the command line is unusable; "" when it is fine
};

// args: the arguments after the program's name.
CommandLine ParseCommandLine(const std::vector<std::string>& args);

}  // namespace setup
