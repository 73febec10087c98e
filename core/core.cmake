# The statistics core as every build of it compiles it: the language level,
# the options its results depend on, and its sources. Read by the main build
# and by the Python package's build of its own (python/CMakeLists.txt).
set(CMAKE_CXX_STANDARD 20)
set(CMAKE_CXX_STANDARD_REQUIRED ON)
set(CMAKE_CXX_EXTENSIONS OFF)

# Exact, reproducible arithmetic: no contraction into fused multiply-adds and
# no fast-math. errno is never read after a maths call, so sqrt may vectorise.
set(ASSOCNET_COMPILE_OPTIONS -Wall -Wextra -Wpedantic -ffp-contract=off -fno-math-errno)

cmake_path(GET CMAKE_CURRENT_LIST_DIR PARENT_PATH ASSOCNET_ROOT)
set(ASSOCNET_CORE_SOURCES
  matrix.cpp tokens.cpp table_checks.cpp
  covariance.cpp ranks.cpp thresholds.cpp
  analysis.cpp isa.cpp panel_runs.cpp first_order_offers.cpp second_order_offers.cpp
  batch_rows.cpp sweep1.cpp sweep2.cpp sweep3.cpp pvalues.cpp
  genes.cpp selection.cpp network.cpp)
list(TRANSFORM ASSOCNET_CORE_SOURCES PREPEND ${CMAKE_CURRENT_LIST_DIR}/)

# The core as a static library `name`, with the public API in include/. The
# caller finds OpenMP first.
function(assocnet_core_library name)
  add_library(${name} STATIC ${ASSOCNET_CORE_SOURCES})
  target_include_directories(${name} PUBLIC ${ASSOCNET_ROOT}/include ${ASSOCNET_ROOT}/core)
  target_link_libraries(${name} PUBLIC OpenMP::OpenMP_CXX)
endfunction()
