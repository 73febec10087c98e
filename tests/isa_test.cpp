// The instruction sets of the kernels: which ones a process may be told to
// use, by setIsa or by ASSOCNET_ISA, and how the programs refuse the others.
#include "isa.h"

#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace {

const char* nameOf(const Isa& isa) { return isa.width == 8 ? "avx512" : isa.width == 4 ? "avx2" : "scalar"; }

struct Outcome {
    int status = -1;
    std::string out, err;
};

std::string readFile(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Runs a built program in a fresh folder with ASSOCNET_ISA set to isa and the
// given arguments and standard input.
Outcome runWith(const std::string& isa, const std::string& program, const std::string& args,
                const std::string& input)
{
    std::string pattern = (std::filesystem::temp_directory_path() / "assocnet-isa-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) return {};
    const std::filesystem::path dir = pattern;
    std::ofstream(dir / "stdin.txt") << input;
    const std::string command = "cd '" + dir.string() + "' && ASSOCNET_ISA=" + isa + " '" +
                                ASSOCNET_BIN_DIR + "/" + program + "' " + args +
                                " < stdin.txt > stdout.txt 2> stderr.txt";
    const int rc = std::system(command.c_str());
    Outcome o{WIFEXITED(rc) ? WEXITSTATUS(rc) : -1, readFile(dir / "stdout.txt"),
              readFile(dir / "stderr.txt")};
    std::filesystem::remove_all(dir);
    return o;
}

}  // namespace

TEST(Isa, EveryNameOfThisProcessorIsTakenAndOthersAreRefused)
{
    const Isa before = currentIsa(), widest = widestIsa();
    EXPECT_FALSE(widest.fixedPoint && widest.width == 1);
    struct Case {
        const char* name;
        int width;
    };
    int taken = 0;
    for (const Case c : {Case{"scalar", 1}, Case{"avx2", 4}, Case{"avx512", 8}}) {
        const std::string problem = setIsa(c.name);
        if (c.width > widest.width) {
            EXPECT_NE(problem, "") << c.name;
            EXPECT_EQ(currentIsa().width, taken) << "a refused name leaves the choice as it was";
            continue;
        }
        taken = c.width;
        EXPECT_EQ(problem, "") << c.name;
        EXPECT_EQ(currentIsa().width, c.width) << c.name;
        const bool fixedPoint = c.width == 4 || (c.width == 8 && widest.fixedPoint);
        EXPECT_EQ(currentIsa().fixedPoint, fixedPoint) << c.name;
    }
    const Isa chosen = currentIsa();
    EXPECT_EQ(setIsa("sse2"), "sse2: unknown instruction set; choose scalar, avx2 or avx512");
    EXPECT_EQ(setIsa(""), ": unknown instruction set; choose scalar, avx2 or avx512");
    EXPECT_EQ(currentIsa().width, chosen.width);
    EXPECT_EQ(setIsa(nameOf(before)), "");
}

TEST(Isa, EnvironmentChoosesTheInstructionSetOfTheWholeRun)
{
    // The tests run once per instruction set of this processor, named here.
    const char* name = std::getenv("ASSOCNET_ISA");
    EXPECT_EQ(isaProblem(), "");
    if (name == nullptr || *name == 0) {
        EXPECT_EQ(currentIsa().width, widestIsa().width);
        EXPECT_EQ(currentIsa().fixedPoint, widestIsa().fixedPoint);
    } else {
        EXPECT_STREQ(nameOf(currentIsa()), name);
    }
}

TEST(Isa, ProgramsRefuseAnInstructionSetTheyCannotRunBeforeAnythingElse)
{
    const std::string unknown = "ASSOCNET_ISA=avx1024: unknown instruction set; choose scalar, avx2 or avx512\n";
    const Outcome program = runWith("avx1024", "pearson1st", "", "3\n20\n");
    EXPECT_EQ(program.status, 1);
    EXPECT_EQ(program.out, "") << "no dialogue";
    EXPECT_EQ(program.err, "pearson1st: " + unknown);
    const Outcome command = runWith("avx1024", "assocnet", "-", "");
    EXPECT_EQ(command.status, 1);
    EXPECT_EQ(command.err, "assocnet: " + unknown);
    if (widestIsa().width < 8) {
        const Outcome lacking = runWith("avx512", "pearson1st", "", "3\n20\n");
        EXPECT_EQ(lacking.status, 1);
        EXPECT_NE(lacking.err.find("pearson1st: ASSOCNET_ISA=avx512: this processor has no AVX-512"),
                  std::string::npos)
            << lacking.err;
    }
}
