// Replays every committed fuzz corpus through the fuzz targets' own functions, so each build
// of the suite (native, i386, sanitizers, valgrind) checks the targets' properties on every
// input a fuzzer ever kept. A broken property aborts the program with its message.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "fuzz/FuzzSupport.h"

namespace n95::test {
namespace {

struct Target {
    const char* Name;
    int (*Fuzz)(const uint8_t*, size_t);
};

std::vector<std::string> CorpusFiles(const std::string& target) {
    std::vector<std::string> files;
    const std::filesystem::path dir = std::filesystem::path(N95_FUZZ_CORPUS_DIR) / target;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(dir, error)) {
        if (entry.is_regular_file())
            files.push_back(entry.path().string());
    }
    std::sort(files.begin(), files.end());
    return files;
}

class FuzzCorpusTest : public ::testing::TestWithParam<Target> {};

TEST_P(FuzzCorpusTest, EveryInputKeepsTheTargetsProperties) {
    const Target& t = GetParam();
    const std::vector<std::string> files = CorpusFiles(t.Name);
    ASSERT_FALSE(files.empty()) << "no corpus for " << t.Name;
    for (const std::string& file : files) {
        SCOPED_TRACE(file);
        std::ifstream in(file, std::ios::binary);
        const std::vector<uint8_t> data((std::istreambuf_iterator<char>(in)),
                                        std::istreambuf_iterator<char>());
        EXPECT_EQ(t.Fuzz(data.data(), data.size()), 0);
    }
}

INSTANTIATE_TEST_SUITE_P(Targets, FuzzCorpusTest,
                         ::testing::Values(Target{"decoder_fuzz", &fuzz::FuzzDecoder},
                                           Target{"commands_fuzz", &fuzz::FuzzCommands},
                                           Target{"record_fuzz", &fuzz::FuzzRecord}
#if defined(N95_FUZZ_HOST_READERS)
                                           ,
                                           Target{"host_readers_fuzz", &fuzz::FuzzHostReaders}
#endif
                                           ),
                         [](const ::testing::TestParamInfo<Target>& info) {
                             return std::string(info.param.Name);
                         });

}  // namespace
}  // namespace n95::test
