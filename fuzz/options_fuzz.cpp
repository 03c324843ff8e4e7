// libFuzzer target: the input bytes as a command line (arguments separated by
// NUL bytes) through the option parsing.
#include <cstdint>
#include <string>
#include <vector>

#include "options.h"

namespace {
constexpr size_t kMaxArguments = 64;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<std::string> words{"tarnic"};
    std::string word;
    for (size_t i = 0; i < size && words.size() < kMaxArguments; ++i) {
        if (data[i] == 0) {
            words.push_back(word);
            word.clear();
        } else {
            word.push_back(char(data[i]));
        }
    }
    if (!word.empty()) words.push_back(word);
    std::vector<char*> argv;
    for (std::string& w : words) argv.push_back(&w[0]);
    argv.push_back(nullptr);
    RunOptions options;
    ParseOptions(int(words.size()), argv.data(), options);  // refusals print and return
    return 0;
}
