#pragma once

#include <string>
#include <vector>

namespace lobby {

// The program's command line as UTF-8 words, its name first. On Linux main's argv as it is;
// on Windows the command line as the system keeps it (UTF-16), split as the C library splits
// it and each word turned into UTF-8: main's argv there is in the ANSI code page, which loses
// every letter it lacks, so a --dir of "C:\Jogos\Лобби" would name a folder of question marks.
std::vector<std::string> CommandWords(int argc, char** argv);

} // namespace lobby
