#include "protocol/JsonReader.h"

#include "protocol/HexDigit.h"

#include <cstdint>
#include <utility>

namespace {

// Far deeper than any dump; a file nested deeper is not one.
constexpr int MaxDepth = 64;

class TParser {
public:
    explicit TParser(std::string_view Text)
        : FText(Text)
    {
    }

    std::optional<TJsonValue> Document(int& ErrorLine, std::string& Error)
    {
        std::optional<TJsonValue> value = Value(0);
        if (value) {
            Blanks();
            if (FAt < FText.size())
                value = Fail("more after the end of the document");
        }
        if (!value) {
            ErrorLine = FLine;
            Error = FError;
        }
        return value;
    }

private:
    std::nullopt_t Fail(std::string Message)
    {
        if (FError.empty())
            FError = "not JSON: " + std::move(Message);
        return std::nullopt;
    }

    bool AtEnd() const { return FAt >= FText.size(); }
    char Peek() const { return AtEnd() ? '\0' : FText[FAt]; }

    void Blanks()
    {
        for (; !AtEnd(); ++FAt) {
            const char c = FText[FAt];
            if (c == '\n')
                ++FLine;
            else if (c != ' ' && c != '\t' && c != '\r')
                return;
        }
    }

    bool Take(char C)
    {
        Blanks();
        if (Peek() != C)
            return false;
        ++FAt;
        return true;
    }

    std::optional<TJsonValue> Value(int Depth)
    {
        if (Depth > MaxDepth)
            return Fail("nested deeper than " + std::to_string(MaxDepth));
        Blanks();
        TJsonValue value;
        value.Line = FLine;
        const char c = Peek();
        if (c == '{') {
            ++FAt;
            value.Kind = TJsonValue::Object;
            if (Take('}'))
                return value;
            do {
                Blanks();
                if (Peek() != '"')
                    return Fail("a member's name expected");
                std::optional<std::string> name = StringText();
                if (!name)
                    return std::nullopt;
                if (!Take(':'))
                    return Fail("':' expected after a member's name");
                std::optional<TJsonValue> member = Value(Depth + 1);
                if (!member)
                    return std::nullopt;
                value.Members.push_back({std::move(*name), std::move(*member)});
            } while (Take(','));
            if (!Take('}'))
                return Fail("',' or '}' expected");
            return value;
        }
        if (c == '[') {
            ++FAt;
            value.Kind = TJsonValue::Array;
            if (Take(']'))
                return value;
            do {
                std::optional<TJsonValue> item = Value(Depth + 1);
                if (!item)
                    return std::nullopt;
                value.Items.push_back(std::move(*item));
            } while (Take(','));
            if (!Take(']'))
                return Fail("',' or ']' expected");
            return value;
        }
        if (c == '"') {
            std::optional<std::string> text = StringText();
            if (!text)
                return std::nullopt;
            value.Kind = TJsonValue::String;
            value.Text = std::move(*text);
            return value;
        }
        for (const auto& [word, kind] : {std::pair{std::string_view("true"), TJsonValue::Boolean},
                 std::pair{std::string_view("false"), TJsonValue::Boolean}, std::pair{std::string_view("null"), TJsonValue::Null}}) {
            if (FText.substr(FAt).starts_with(word)) {
                FAt += word.size();
                value.Kind = kind;
                value.Text = word;
                return value;
            }
        }
        if (c == '-' || (c >= '0' && c <= '9'))
            return NumberValue(value);
        return Fail(AtEnd() ? "the document ends early" : "a value expected");
    }

    bool Digits()
    {
        const size_t from = FAt;
        while (Peek() >= '0' && Peek() <= '9')
            ++FAt;
        return FAt > from;
    }

    std::optional<TJsonValue> NumberValue(TJsonValue& Value)
    {
        const size_t from = FAt;
        if (Peek() == '-')
            ++FAt;
        if (Peek() == '0')
            ++FAt;
        else if (!Digits())
            return Fail("a number expected");
        if (Peek() == '.') {
            ++FAt;
            if (!Digits())
                return Fail("digits expected after '.'");
        }
        if (Peek() == 'e' || Peek() == 'E') {
            ++FAt;
            if (Peek() == '+' || Peek() == '-')
                ++FAt;
            if (!Digits())
                return Fail("digits expected in an exponent");
        }
        Value.Kind = TJsonValue::Number;
        Value.Text = FText.substr(from, FAt - from);
        return Value;
    }

    // Four hex digits of a \u escape.
    std::optional<uint32_t> Hex4()
    {
        if (FText.size() - FAt < 4)
            return std::nullopt;
        uint32_t v = 0;
        for (int i = 0; i < 4; ++i) {
            const int d = HexDigitValue(FText[FAt++]);
            if (d < 0)
                return std::nullopt;
            v = v << 4 | uint32_t(d);
        }
        return v;
    }

    static void AppendUtf8(std::string& Out, uint32_t C)
    {
        if (C < 0x80) {
            Out += char(C);
        } else if (C < 0x800) {
            Out += char(0xC0 | C >> 6);
            Out += char(0x80 | (C & 0x3F));
        } else if (C < 0x10000) {
            Out += char(0xE0 | C >> 12);
            Out += char(0x80 | (C >> 6 & 0x3F));
            Out += char(0x80 | (C & 0x3F));
        } else {
            Out += char(0xF0 | C >> 18);
            Out += char(0x80 | (C >> 12 & 0x3F));
            Out += char(0x80 | (C >> 6 & 0x3F));
            Out += char(0x80 | (C & 0x3F));
        }
    }

    std::optional<std::string> StringText()
    {
        ++FAt; // the opening quote
        std::string text;
        for (;;) {
            if (AtEnd())
                return Fail("a string not closed");
            const char c = FText[FAt++];
            if (c == '"')
                return text;
            if (static_cast<unsigned char>(c) < 0x20)
                return Fail("a control character in a string");
            if (c != '\\') {
                text += c;
                continue;
            }
            const char e = Peek();
            ++FAt;
            switch (e) {
            case '"':
            case '\\':
            case '/':
                text += e;
                break;
            case 'b':
                text += '\b';
                break;
            case 'f':
                text += '\f';
                break;
            case 'n':
                text += '\n';
                break;
            case 'r':
                text += '\r';
                break;
            case 't':
                text += '\t';
                break;
            case 'u': {
                std::optional<uint32_t> c1 = Hex4();
                if (!c1)
                    return Fail("a \\u escape without four hex digits");
                uint32_t code = *c1;
                // A character beyond the first plane comes as two halves.
                if (code >= 0xD800 && code <= 0xDBFF) {
                    std::optional<uint32_t> c2;
                    if (FText.substr(FAt).starts_with("\\u")) {
                        FAt += 2;
                        c2 = Hex4();
                    }
                    if (!c2 || *c2 < 0xDC00 || *c2 > 0xDFFF)
                        return Fail("half a character in a \\u escape");
                    code = 0x10000 + ((code - 0xD800) << 10) + (*c2 - 0xDC00);
                } else if (code >= 0xDC00 && code <= 0xDFFF) {
                    return Fail("half a character in a \\u escape");
                }
                AppendUtf8(text, code);
                break;
            }
            default:
                return Fail("an unknown escape in a string");
            }
        }
    }

    std::string_view FText;
    size_t FAt = 0;
    int FLine = 1;
    std::string FError;
};

} // namespace

const TJsonValue* TJsonValue::Member(std::string_view Name) const
{
    for (const auto& [name, value] : Members) {
        if (name == Name)
            return &value;
    }
    return nullptr;
}

std::optional<TJsonValue> ParseJson(std::string_view Text, int& ErrorLine, std::string& Error)
{
    return TParser(Text).Document(ErrorLine, Error);
}
