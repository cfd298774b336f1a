// Feeds arbitrary bytes to the page template engine. The first byte chooses
// what the rest is: a template loaded as text, a template expanded as it
// stands, or the parameter text of one tag. The handler checks every
// name=value lookup against a plain search of the fields and expands
// "<#inc t=...>" tags on the same producer, so nesting and its limit run too.
#include "web/PageProducer.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace {

using namespace qeltv;

// Bytes that included templates may add up to in one run, so that a template
// built to double at every level cannot turn into a time-out.
constexpr std::size_t kIncludeBudgetBytes = 1 << 20;

void check(bool condition) {
    if (!condition)
        __builtin_trap();
}

bool sameName(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
        if (lower(a[i]) != lower(b[i]))
            return false;
    }
    return true;
}

// Every field's name must find the value of the first field with that name.
void checkLookups(const TagParameters& parameters) {
    for (std::size_t i = 0; i < parameters.size(); ++i) {
        const std::string_view field = parameters[i];
        const std::size_t equals = field.find('=');
        if (equals == std::string_view::npos)
            continue;
        const std::string_view name = field.substr(0, equals);
        std::string_view expected = field.substr(equals + 1);
        for (std::size_t j = 0; j < i; ++j) {
            const std::string_view earlier = parameters[j];
            const std::size_t earlierEquals = earlier.find('=');
            if (earlierEquals != std::string_view::npos &&
                sameName(earlier.substr(0, earlierEquals), name)) {
                expected = earlier.substr(earlierEquals + 1);
                break;
            }
        }
        check(parameters.value(name) == expected);
    }
    check(parameters.value("no such name, it has spaces").empty());
}

// The copying rules alone, byte by byte, for a text without tags: a "<"
// drops the blanks after it and passes the next byte over unexamined.
std::string copyWithoutTags(std::string_view text) {
    std::string out;
    std::size_t pos = 0;
    while (pos < text.size()) {
        if (text[pos] != '<') {
            out += text[pos++];
            continue;
        }
        out += '<';
        pos += 1;
        while (pos < text.size() && static_cast<unsigned char>(text[pos]) <= ' ')
            ++pos;
        if (pos < text.size())
            out += text[pos++];
    }
    return out;
}

class FuzzProducer {
public:
    FuzzProducer() {
        producer_.setTagHandler([this](TCustomPageProducer& sender, TagKind kind,
                                       std::string_view name, const TagParameters& parameters,
                                       std::string& replacement) {
            check(replacement.empty());
            check(kind == tagKindFromName(name));
            checkLookups(parameters);
            const std::string_view included = parameters.value("t");
            if (sameName(name, "inc") && includedBytes_ + included.size() < kIncludeBudgetBytes) {
                includedBytes_ += included.size();
                sender.setTemplateText(included);
                replacement = sender.content();
            } else if (parameters.size() > 0) {
                replacement = parameters[0];
            }
        });
    }
    TCustomPageProducer& producer() { return producer_; }

private:
    TCustomPageProducer producer_;
    std::size_t includedBytes_ = 0;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0)
        return 0;
    const std::string_view rest(reinterpret_cast<const char*>(data) + 1, size - 1);
    try {
        switch (data[0] % 3) {
        case 0: {
            FuzzProducer fuzz;
            fuzz.producer().setTemplateText(rest);
            fuzz.producer().content();
            break;
        }
        case 1: {
            FuzzProducer fuzz;
            const std::string out = fuzz.producer().contentFromString(rest);
            // Text without tags and zero bytes follows the copying rules.
            if (rest.find_first_of(std::string_view("#\0", 2)) == std::string_view::npos)
                check(out == copyWithoutTags(rest));
            break;
        }
        default: {
            TagParameters parameters;
            parameters.parse(rest, (data[0] & 0x80) == 0);
            checkLookups(parameters);
            break;
        }
        }
    } catch (const TemplateError&) {
        // A broken template is an expected outcome.
    }
    return 0;
}
