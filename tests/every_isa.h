// For the tests that compare the fast kernels with the literal loops: the
// fast ones run under each instruction set this processor has, the literal
// ones once.
#pragma once

#include "isa.h"

#include <string>

// Calls body(name) with the kernels on each instruction set this processor
// has, narrowest first, then puts back the one chosen before.
template <class Body>
void forEachIsa(Body&& body)
{
    const Isa before = currentIsa();
    for (const char* name : {"scalar", "avx2", "avx512"})
        if (setIsa(name).empty()) body(std::string(name));
    setIsa(before.width == 8 ? "avx512" : before.width == 4 ? "avx2" : "scalar");
}
