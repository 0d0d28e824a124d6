// support.h - what the unit tests share: scratch directories, file
// contents, fatal-report expectations and a clean open-file table.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "fileio.h"

namespace test {

// A fresh directory below the temporary directory, removed with its
// contents when the test ends (read-only files included).
class ScratchDir {
public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    const std::string& path() const { return path_; }
    // The path of name inside the directory, joined the program's way ("\").
    std::string operator/(const std::string& name) const { return path_ + "\\" + name; }

private:
    std::string path_;
};

// name may use "\" separators, as the program's own paths do.
void WriteFile(const std::string& name, const std::string& bytes);
std::string ReadFile(const std::string& name);
bool Exists(const std::string& name);
void MakeReadOnly(const std::string& name);
std::filesystem::path Native(const std::string& name);

// The test program's own file, as an absolute path: real machine code for
// the codec's tests.
const std::string& ProgramFile();

// The regular expression matching the console report of a fatal error with
// exactly this text: "Einde programma: " and the text from its first
// visible line. A scratch directory's name in it matches any scratch
// directory (a death test's child on Windows makes its own).
std::string FatalReport(const std::string& text);

// A run of digits in an expected report: GoogleTest matches with POSIX
// regular expressions on Linux and with its own simple ones on Windows.
#ifdef _WIN32
inline const std::string AnyNumber = "\\d+";
#else
inline const std::string AnyNumber = "[0-9]+";
#endif

// An absolute path in its root-relative form, "\" and the rest: the
// drive dropped on Windows; on POSIX "\" stands for the root "/".
inline std::string RootRelative(const std::string& path) {
    return path.size() > 1 && path[1] == ':' ? path.substr(2) : "\\" + path.substr(1);
}

// The exit status of every fatal error after the box's OK.
inline ::testing::ExitedWithCode FatalExit() {
    return ::testing::ExitedWithCode(2);
}

// Count of occupied slots in the open-file table.
int OpenFiles();

// Every test starts and ends with an empty open-file table.
class FileTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // A record for name inside the scratch directory.
    FileRec Record(const std::string& name, int unit = 1) const;

    ScratchDir dir;
};

// A FileTest that runs inside its scratch directory (write streams put their
// side file in the current directory).
class InScratchDirTest : public FileTest {
protected:
    void SetUp() override;
    void TearDown() override;

private:
    std::string previous_;
};

}  // namespace test
