// The output set's temporary files: created anew under their hidden names,
// never through a file or link found there.
#include "files.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

std::string readAll(const fs::path& p)
{
    std::ifstream in(p, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

}  // namespace

TEST(OutputSet, ALinkAtATemporaryNameIsReplacedNotWrittenThrough)
{
    std::string pattern = (fs::temp_directory_path() / "files-test.XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    const fs::path dir = pattern;
    std::ofstream(dir / "victim") << "keep\n";
    // What a killed run of this process number, or someone else, left there.
    const std::string pid = std::to_string(::getpid());
    fs::create_symlink(dir / "victim", dir / (".P_a.txt." + pid + ".part"));
    std::ofstream(dir / (".P_b.txt." + pid + ".part")) << "stale\n";
    {
        OutputSet set(dir.string(), "P");
        ASSERT_EQ(set.lock(false), "");
        for (const char* suffix : {"_a.txt", "_b.txt"}) {
            OutputFile& f = set.add(suffix);
            EXPECT_EQ(set.writeAside(f, [&](TextOut& out) {
                put(out, suffix);
                endLine(out);
            }), "");
        }
        EXPECT_EQ(set.commit(), "");
    }
    EXPECT_EQ(readAll(dir / "victim"), "keep\n");
    EXPECT_EQ(readAll(dir / "P_a.txt"), "_a.txt\n");
    EXPECT_EQ(readAll(dir / "P_b.txt"), "_b.txt\n");
    EXPECT_FALSE(fs::is_symlink(dir / "P_a.txt"));
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 3);  // no hidden file, no lock
    fs::remove_all(dir);
}
