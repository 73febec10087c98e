# Builds the report page and writes it into a C++ source as a byte array.
#   cmake -DWEB=<the web folder> -DOUT=<source to write> -P embed.cmake
# The page is report.html with report.css inlined for @@STYLE@@ and, for
# @@SCRIPTS@@, the layout libraries, cytoscape.js and report.js, each in a
# script element of its own headed by its licence. The source defines
#   kReportPage (bytes), kReportPageSize, and kReportPageDataAt: where the
#   run's JSON goes (the @@DATA@@ line of the template, removed).
cmake_minimum_required(VERSION 3.20)
set(modules ${WEB}/node_modules)

file(READ ${WEB}/report.html page)
file(READ ${WEB}/report.css style)

# Inlined in this order: each library needs the ones before it, fCoSE registers
# itself with the cytoscape global, and report.js uses them all.
set(parts layout-base/layout-base.js cose-base/cose-base.js cytoscape/dist/cytoscape.min.js
          cytoscape-fcose/cytoscape-fcose.js)
# Inside a script element the text "</script" ends it and "<!--" changes how
# the rest is read; neither may occur in what is inlined, nor "</style" in the style.
function(check_inlined name code)
  string(TOLOWER "${code}" lower)
  if(lower MATCHES "</script|</style|<!--")
    message(FATAL_ERROR "${name} holds </script, </style or <!--: it cannot be inlined as it is")
  endif()
endfunction()
check_inlined(report.css "${style}")

set(scripts "")
foreach(part IN LISTS parts)
  file(READ ${modules}/${part} code)
  check_inlined(${part} "${code}")
  string(REGEX MATCH "^[^/]+" package "${part}")
  file(READ ${modules}/${package}/package.json manifest)
  string(JSON version GET "${manifest}" version)
  string(APPEND scripts "<script>\n/*! ${package} ${version}")
  # cytoscape.min.js opens with its licence already.
  if(NOT package STREQUAL "cytoscape")
    file(READ ${modules}/${package}/LICENSE licence)
    string(APPEND scripts "\n${licence}")
  endif()
  string(APPEND scripts " */\n${code}\n</script>\n")
endforeach()
file(READ ${WEB}/report.js code)
check_inlined(report.js "${code}")
string(APPEND scripts "<script>\n${code}</script>")

string(REPLACE "@@STYLE@@" "${style}" page "${page}")
string(REPLACE "@@SCRIPTS@@" "${scripts}" page "${page}")
string(FIND "${page}" "@@DATA@@\n" at)
if(at LESS 0)
  message(FATAL_ERROR "report.html has no @@DATA@@ line")
endif()
string(SUBSTRING "${page}" 0 ${at} head)
math(EXPR after "${at} + 9")
string(SUBSTRING "${page}" ${after} -1 tail)

get_filename_component(dir ${OUT} DIRECTORY)
file(WRITE ${dir}/report_page.html "${head}${tail}")
file(READ ${dir}/report_page.html hex HEX)
file(SIZE ${dir}/report_page.html size)
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
file(WRITE ${OUT}
  "// Made by web/embed.cmake from the files in web/: the report page, whose\n"
  "// run data go in at kReportPageDataAt.\n"
  "#include <cstddef>\n"
  "extern const unsigned char kReportPage[] = {\n${bytes}0};\n"
  "extern const std::size_t kReportPageSize = ${size};\n"
  "extern const std::size_t kReportPageDataAt = ${at};\n")
