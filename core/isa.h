// The instruction sets of the fast kernels, chosen in one place for the whole
// process: the widest this processor has, unless the environment variable
// ASSOCNET_ISA (scalar, avx2 or avx512) or setIsa names a narrower one. Every
// choice gives the same bits; only the time differs.
//
//   Isa           what a kernel may use: its vector width and the fixed-point tests
//   widestIsa     the widest this processor has
//   currentIsa    the one the kernels of a run use
//   isaProblem    why ASSOCNET_ISA cannot be used ("" when it can, or is unset)
//   setIsa        the kernels use the named one from now on
#pragma once

#include <string>
#include <string_view>

// The vector width of the kernels' block and lane tests and of the
// covariance tiles: 8 doubles (AVX-512), 4 (AVX2) or 1 (no vector
// extension; the covariance then takes the two doubles every x86-64
// processor has). fixedPoint: the lane tests in 16-bit fixed point run first,
// which needs width 4 (AVX2), or width 8 and AVX-512 BW and VL with BMI2.
struct Isa {
    int width = 1;
    bool fixedPoint = false;
};

// The widest instruction set of this processor, with the fixed-point tests
// where it has them.
Isa widestIsa();

// The instruction set the fast kernels use: the one ASSOCNET_ISA names, read
// once per process, or the one setIsa set last; the widest when neither, or
// when ASSOCNET_ISA cannot be used. The sweeps read it once as they start.
Isa currentIsa();

// "" when ASSOCNET_ISA is unset or empty, or names an instruction set this
// processor has; else a one-line message saying what it may name.
std::string isaProblem();

// Makes the kernels use the instruction set of that name (scalar, avx2 or
// avx512) for the rest of the process, or until the next call; not while a
// run is under way. Returns "" or, leaving the choice as it was, why the name
// cannot be used.
std::string setIsa(std::string_view name);
