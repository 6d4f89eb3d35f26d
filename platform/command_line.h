// Turning a Windows-style command line into a program and its arguments,
// for the POSIX backend (on Windows, CreateProcessA does this itself).
// Pure text work with no OS calls, so both builds test it.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace kvs {

// Splits command_line by the rules of the Windows C runtime: blanks and
// tabs separate, double quotes group (a doubled quote inside quotes is a
// literal quote), 2n backslashes before a quote give n backslashes and the
// quote groups, 2n+1 give n backslashes and a literal quote, other
// backslashes stay. The first argument, the program, ends at the first
// blank outside quotes and keeps its backslashes.
std::vector<std::string> SplitCommandLine(std::string_view command_line);

// Finds the file that starting program would run, the way Windows searches:
// a name with a directory part is taken relative to current_dir (or as it
// stands when absolute); a bare name is looked for in program_dir, then in
// current_dir, then in each entry of path_list (separated by ':'). Backslashes
// in program are directory separators. Returns "" when no candidate
// satisfies is_executable.
std::string FindProgram(const std::string& program, const std::string& program_dir,
                        const std::string& current_dir, const std::string& path_list,
                        const std::function<bool(const std::string&)>& is_executable);

}  // namespace kvs
