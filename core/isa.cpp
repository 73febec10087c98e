// The one place that asks the processor which vector instructions it has.
#include "isa.h"

#include <cstdlib>

namespace {

// The AVX2 kernels use FMA and POPCNT as well, which every processor with
// AVX2 has had.
bool hasAvx2()
{
    return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma") &&
           __builtin_cpu_supports("popcnt");
}
bool hasAvx512() { return __builtin_cpu_supports("avx512f"); }

// The names a processor with the widest set `widest` may be told to use.
std::string namesFor(const Isa& widest)
{
    return widest.width == 8 ? "scalar, avx2 or avx512" : widest.width == 4 ? "scalar or avx2" : "scalar";
}

// Fills isa with the instruction set called name; "" or, after the name, why
// it cannot be used.
std::string named(std::string_view name, Isa& isa)
{
    const Isa widest = widestIsa();
    const std::string shown = std::string(name) + ": ";
    if (name == "scalar") {
        isa = Isa{};
    } else if (name == "avx2") {
        if (!hasAvx2()) return shown + "this processor has no AVX2; it runs " + namesFor(widest);
        isa = Isa{4, true};
    } else if (name == "avx512") {
        if (!hasAvx512()) return shown + "this processor has no AVX-512; it runs " + namesFor(widest);
        isa = widest;
    } else {
        return shown + "unknown instruction set; choose scalar, avx2 or avx512";
    }
    return "";
}

struct Choice {
    Isa isa;
    std::string problem;  // why ASSOCNET_ISA cannot be used
};

Choice& choice()
{
    static Choice c = [] {
        Choice fromEnvironment{widestIsa(), ""};
        const char* name = std::getenv("ASSOCNET_ISA");
        if (name && *name) {
            Isa isa;
            const std::string problem = named(name, isa);
            if (problem.empty()) fromEnvironment.isa = isa;
            else fromEnvironment.problem = "ASSOCNET_ISA=" + problem;
        }
        return fromEnvironment;
    }();
    return c;
}

}  // namespace

Isa widestIsa()
{
    if (hasAvx512())
        return Isa{8, __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512vl") &&
                          __builtin_cpu_supports("bmi2")};
    return hasAvx2() ? Isa{4, true} : Isa{1, false};
}

Isa currentIsa() { return choice().isa; }

std::string isaProblem() { return choice().problem; }

std::string setIsa(std::string_view name)
{
    Isa isa;
    std::string problem = named(name, isa);
    if (problem.empty()) choice().isa = isa;
    return problem;
}
