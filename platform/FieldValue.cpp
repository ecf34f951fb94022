#include "platform/Database.h"

#include <locale>
#include <cmath>
#include <sstream>

#include "platform/Errors.h"

namespace Velmora {

TFieldValue TFieldValue::FromInteger(std::int64_t value)
{
    TFieldValue v;
    v.FKind = TKind::Integer;
    v.FInteger = value;
    return v;
}

TFieldValue TFieldValue::FromFloat(double value)
{
    TFieldValue v;
    v.FKind = TKind::Float;
    v.FFloat = value;
    return v;
}

TFieldValue TFieldValue::FromText(std::string value)
{
    TFieldValue v;
    v.FKind = TKind::Text;
    v.FText = std::move(value);
    return v;
}

std::string TFieldValue::AsString() const
{
    switch (FKind) {
    case TKind::Null:
        return std::string();
    case TKind::Integer:
        return std::to_string(FInteger);
    case TKind::Float: {
        // The classic locale keeps the period whatever the user's settings.
        std::ostringstream out;
        out.imbue(std::locale::classic());
        out.precision(15);
        out << FFloat;
        return out.str();
    }
    case TKind::Text:
        return FText;
    }
    return std::string();
}

namespace {

double ParseFloat(const std::string& text)
{
    std::istringstream in(text);
    in.imbue(std::locale::classic());
    double value = 0.0;
    in >> value;
    if (in.fail()) {
        throw EVelmoraError("“" + text + "”不是有效的数值");
    }
    in >> std::ws;
    if (!in.eof()) {
        throw EVelmoraError("“" + text + "”不是有效的数值");
    }
    return value;
}

}  // namespace

double TFieldValue::AsFloat() const
{
    switch (FKind) {
    case TKind::Null:
        return 0.0;
    case TKind::Integer:
        return static_cast<double>(FInteger);
    case TKind::Float:
        return FFloat;
    case TKind::Text:
        return FText.empty() ? 0.0 : ParseFloat(FText);
    }
    return 0.0;
}

bool TFieldValue::AsBoolean() const
{
    switch (FKind) {
    case TKind::Null:
        return false;
    case TKind::Integer:
        return FInteger != 0;
    case TKind::Float:
        return FFloat != 0.0;
    case TKind::Text: {
        std::string lower;
        for (char c : FText) lower += static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
        if (lower == "true") return true;
        if (lower == "false" || lower.empty()) return false;
        return ParseFloat(FText) != 0.0;
    }
    }
    return false;
}

std::int64_t TFieldValue::AsInteger() const
{
    switch (FKind) {
    case TKind::Null:
        return 0;
    case TKind::Integer:
        return FInteger;
    case TKind::Float:
        return static_cast<std::int64_t>(std::llround(FFloat));
    case TKind::Text: {
        double value = ParseFloat(FText);
        if (std::floor(value) != value) {
            throw EVelmoraError("“" + FText + "”不是有效的整数");
        }
        return static_cast<std::int64_t>(value);
    }
    }
    return 0;
}

}  // namespace Velmora
