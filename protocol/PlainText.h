#pragma once
// Text that came from a file the operator named (a key file, a dump, a file
// name): what a message may show of it, and whether a file is text at all.
// A message goes to a terminal, a log or a journal, where a file's escape
// sequence would act (clear the screen, retitle the window), so it is shown
// as \xHH instead.

#include <cstddef>
#include <string>
#include <string_view>

// Text with each control character (C0, DEL, C1) and each byte that is not
// part of valid UTF-8 written as \xHH; at most MaxBytes of Text, "..." after
// it when more was left out.
std::string PrintableText(std::string_view Text, size_t MaxBytes = std::string_view::npos);
// No control character but tab, line feed and carriage return: what a text
// file holds, and a binary file almost never.
bool IsPlainText(std::string_view Text);
// Every byte part of a valid UTF-8 sequence: what a database that keeps text
// as UTF-8 takes.
bool IsUtf8(std::string_view Text);
// Text without the UTF-8 byte-order mark that some editors put at its start.
std::string_view WithoutByteOrderMark(std::string_view Text);
