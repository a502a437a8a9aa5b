#include "platform/command_words.h"

namespace lobby {

std::vector<std::string> CommandWords(int argc, char** argv)
{
    return std::vector<std::string>(argv, argv + argc);
}

} // namespace lobby
