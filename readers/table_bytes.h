// A table file's bytes: a file or standard input read whole, inflated when
// gzip-compressed.
#pragma once

#include <string>
#include <string_view>

// Loads the bytes of the file at path ("-": standard input), inflating gzip; "" or "PATH: cause".
//
// Gzip is recognised by its first two bytes (1f 8b), whatever the name; the
// causes are the system's error text, "not a complete gzip stream" (or zlib's
// reason) and "too large to read into memory". Standard input is named
// "standard input" in messages.
std::string loadTable(const std::string& path, std::string& bytes);
// Inflates a gzip stream (all members) into out; "" or the cause (no file name).
std::string inflateTable(std::string_view gz, std::string& out);
