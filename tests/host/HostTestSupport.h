// Helpers of the host tool's tests: a scratch folder per test, running the built programs,
// small file utilities.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace n95::test {

// A fresh folder under the system's temporary folder, removed with everything in it when
// the fixture ends.
class ScratchDirTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    std::string Path(const std::string& name) const { return Dir + "/" + name; }

    std::string Dir;
};

struct ProgramResult {
    int Status = -1;     // exit status; -1 when the program did not exit normally
    std::string Output;  // standard output
    std::string Errors;  // standard error
};

// Runs `program` with `args` (no shell involved), with standard input closed.
ProgramResult RunProgram(const std::string& program, const std::vector<std::string>& args);

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& content);
bool FileExists(const std::string& path);
// The names in a folder (not recursive), sorted.
std::vector<std::string> ListDir(const std::string& dir);
// The lines of a text, without their line ends; no empty last line.
std::vector<std::string> SplitLines(const std::string& text);
std::vector<std::string> SplitFields(const std::string& line, char separator = ',');

}  // namespace n95::test
