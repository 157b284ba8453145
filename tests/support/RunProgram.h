// Runs a program as a child and collects what it wrote, for black-box tests.
#ifndef QB_TEST_RUN_PROGRAM_H
#define QB_TEST_RUN_PROGRAM_H

#include <chrono>
#include <map>
#include <string>
#include <vector>

namespace qbtest {

struct ProgramResult {
    std::string out; // standard output (or the terminal's output with Terminal)
    std::string err; // standard error
    int status = -1; // exit status; -1 when the child did not exit normally
    int signal = 0;  // the signal that ended it, if any
    bool timedOut = false;
};

struct ProgramOptions {
    // Variables set (or, with an empty value and unset=true, removed) in the
    // child's environment on top of the test's own.
    std::map<std::string, std::string> environment;
    std::vector<std::string> unset;
    std::string workingDirectory;
    std::string input;     // written to the child's standard input
    bool terminal = false; // standard output is a pseudo-terminal
    int uid = -1;          // run as this user id (needs root)
    std::chrono::milliseconds timeout{60000};
};

// argv[0] is the program's path. The child is ended (by its id) when it
// outlives the time-out.
ProgramResult RunProgram(const std::vector<std::string>& argv, const ProgramOptions& options = {});

// Path of the built kestrane-updater.
std::string ToolPath();

// Reads a whole file; empty when it cannot be read.
std::string ReadFile(const std::string& path);

} // namespace qbtest

#endif
