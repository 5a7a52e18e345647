#pragma once
// Just enough JSON to take in another tool's card dump: the whole grammar
// (RFC 8259) is read, so that any well-formed file is understood, but values
// are kept as text; the caller says what it wants of them. Every value knows
// the line it starts on, for messages that point into the file. Nesting is
// limited: a file from anywhere must not run the reader out of stack.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct TJsonMember;

struct TJsonValue {
    enum TKind { Null,
        Boolean,
        Number,
        String,
        Array,
        Object };
    TKind Kind = Null;
    // A string's value (UTF-8), a number's text, "true" or "false".
    std::string Text;
    std::vector<TJsonValue> Items;    // an array's
    std::vector<TJsonMember> Members; // an object's, in the file's order
    int Line = 1;

    // The first member of that name, none when there is none or this is no object.
    const TJsonValue* Member(std::string_view Name) const;
};

struct TJsonMember {
    std::string Name;
    TJsonValue Value;
};

// The document, or none with the line and what is wrong there.
std::optional<TJsonValue> ParseJson(std::string_view Text, int& ErrorLine, std::string& Error);
