// A temporary directory removed with everything in it when the test ends.
#ifndef QB_TEST_TEMP_DIR_H
#define QB_TEST_TEMP_DIR_H

#include <string>

namespace qbtest {

class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return dir; }
    std::string operator/(const std::string& name) const { return dir + "/" + name; }

private:
    std::string dir;
};

} // namespace qbtest

#endif
