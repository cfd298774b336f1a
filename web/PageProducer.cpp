#include "web/PageProducer.h"

#include "common/Ascii.h"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace qeltv {

namespace {

// Bytes searched for "<" in one step: one bit each in a 64-bit mask.
constexpr std::size_t kScanBlockBytes = 64;
// The output is reserved at the template's size plus this fraction of it.
constexpr std::size_t kOutputHeadroomDivisor = 4;

// Bytes 1 to 32, line breaks included.
bool isBlank(char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte >= 1 && byte <= 32;
}

bool isWordStart(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_';
}

bool isWordChar(char c) {
    return isWordStart(c) || (c >= '0' && c <= '9');
}

bool isFieldSeparator(char c) {
    return c == ' ' || c == '\r' || c == '\n';
}

bool isQuote(char c) {
    return c == '"' || c == '\'';
}

// Removes quote characters from data[begin, end), working from the end: the
// first quote met opens a pair and goes, the next one of the same kind closes
// it and goes, a quote of the other kind inside a pair stays. The kept bytes
// end up at data[result, end).
std::size_t stripQuotesInPlace(char* data, std::size_t begin, std::size_t end) {
    std::size_t write = end;
    bool inPair = false;
    char pairQuote = 0;
    for (std::size_t read = end; read-- > begin;) {
        const char c = data[read];
        if (isQuote(c)) {
            if (!inPair) {
                inPair = true;
                pairQuote = c;
                continue;
            }
            if (c == pairQuote) {
                inPair = false;
                continue;
            }
        }
        data[--write] = c;
    }
    return write;
}

// URL-decodes data[begin, end) in place; returns the new end. Positions in
// the messages count from 1 at `begin`.
std::size_t urlDecodeInPlace(char* data, std::size_t begin, std::size_t end) {
    std::size_t write = begin;
    std::size_t read = begin;
    while (read < end) {
        const char c = data[read];
        if (c == '+') {
            data[write++] = ' ';
            ++read;
        } else if (c != '%') {
            data[write++] = c;
            ++read;
        } else if (read + 1 < end && data[read + 1] == '%') {
            data[write++] = '%';
            read += 2;
        } else {
            const std::size_t position = read - begin + 1;
            if (read + 2 >= end)
                throw TemplateError("Error decoding URL style (%XX) encoded string at position " +
                                    std::to_string(position));
            const int high = hexDigitValue(data[read + 1]);
            const int low = hexDigitValue(data[read + 2]);
            if (high < 0 || low < 0)
                throw TemplateError("Invalid URL encoded character (" +
                                    std::string(data + read, 3) + ") at position " +
                                    std::to_string(position));
            data[write++] = static_cast<char>(high * 16 + low);
            read += 3;
        }
    }
    return write;
}

// One run over one template text. The text up to its first zero byte is read;
// the reading window is checked lazily, just before the reader first needs a
// byte of it, so tags before a line that is too long are handled first.
class Expansion {
public:
    explicit Expansion(std::string_view text)
        : text_(text.data()), rawEnd_(text.size()), end_(std::min(text.find('\0'), text.size())) {}

    template <typename HandleTag> std::string run(bool stripQuotes, HandleTag&& handleTag) {
        std::string out;
        // Replacements are often longer than their tags; room for that spares
        // a copy of everything written so far.
        out.reserve(end_ + end_ / kOutputHeadroomDivisor);
        TagParameters parameters;
        std::string replacement;
        // Text goes out in runs: bytes are appended only where the output
        // leaves the template (blanks dropped after a "<", a tag replaced).
        std::size_t copyFrom = 0;
        std::size_t scanFrom = 0;
        for (;;) {
            const std::size_t ltPos = findLessThan(scanFrom);
            reach(ltPos);
            if (ltPos == end_)
                break;

            std::size_t pos = skipBlanks(ltPos + 1);
            if (pos == end_ || text_[pos] != '#') {
                // Not a tag: "<" and the next token go out, the blanks between
                // them do not. A "<" token is passed over unexamined; no other
                // token can hold a "<".
                if (pos != ltPos + 1) {
                    out.append(text_ + copyFrom, ltPos + 1 - copyFrom);
                    copyFrom = pos;
                }
                if (pos == end_)
                    break;
                scanFrom = text_[pos] == '<' ? pos + 1 : pos;
                continue;
            }

            out.append(text_ + copyFrom, ltPos - copyFrom);
            pos = skipBlanks(pos + 1);
            const std::string_view tagName(text_ + pos, tokenLengthAt(pos));
            pos += tagName.size();
            const std::size_t close = tagEnd(pos);
            parameters.parse(trimBlanks(pos, close), stripQuotes);
            copyFrom = scanFrom = close == end_ ? end_ : close + 1;

            replacement.clear();
            handleTag(tagKindFromName(tagName), tagName, parameters, replacement);
            out += replacement;
        }
        out.append(text_ + copyFrom, end_ - copyFrom);
        return out;
    }

private:
    // Makes sure the window holds the byte at `pos` (or, at the end of the
    // text, that every window up to the end was read).
    void reach(std::size_t pos) {
        while (windowEnd_ <= pos && windowEnd_ < rawEnd_)
            refill();
    }

    // The next window starts where the last one ended, at a line start. When
    // it is full it is cut after its last line break; a window without one
    // holds a line that does not fit. Kept out of line: it runs once per
    // window, the loop that calls reach() once per "<".
    [[gnu::noinline]] void refill() {
        const std::size_t start = windowEnd_;
        if (rawEnd_ - start < kTemplateWindowBytes) {
            windowEnd_ = rawEnd_;
            return;
        }
        const std::size_t lastBreak =
            std::string_view(text_ + start, kTemplateWindowBytes).rfind('\n');
        if (lastBreak == std::string_view::npos) {
            const auto line = std::count(text_, text_ + start, '\n') + 1;
            throw TemplateError("Line too long on line " + std::to_string(line));
        }
        windowEnd_ = start + lastBreak + 1;
    }

    // The position of the next "<" from `pos`, or the end. Markup has one
    // every few bytes, so the positions of all "<" in a block of 64 bytes are
    // found at once and handed out one by one.
    std::size_t findLessThan(std::size_t pos) {
        for (;;) {
            if (pos >= blockStart_ && pos - blockStart_ < kScanBlockBytes) {
                const std::uint64_t ahead = blockMask_ >> (pos - blockStart_);
                if (ahead != 0)
                    return pos + static_cast<std::size_t>(std::countr_zero(ahead));
                pos = blockStart_ + kScanBlockBytes;
            }
            if (pos >= end_)
                return end_;
            blockStart_ = pos;
            blockMask_ = lessThanMask(pos);
        }
    }

    // Bit i set when text_[pos + i] is "<", for the bytes before end_.
    std::uint64_t lessThanMask(std::size_t pos) const {
        const char* block = text_ + pos;
        const std::size_t count = std::min(end_ - pos, kScanBlockBytes);
#if defined(__SSE2__)
        if (count == kScanBlockBytes) {
            const __m128i lessThan = _mm_set1_epi8('<');
            std::uint64_t mask = 0;
            for (std::size_t i = 0; i < kScanBlockBytes; i += 16) {
                const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(block + i));
                const auto bits =
                    static_cast<std::uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, lessThan)));
                mask |= static_cast<std::uint64_t>(bits) << i;
            }
            return mask;
        }
#endif
        std::uint64_t mask = 0;
        for (std::size_t i = 0; i < count; ++i)
            mask |= static_cast<std::uint64_t>(block[i] == '<') << i;
        return mask;
    }

    // Skips blanks from `pos`; returns the position of the next token or the end.
    std::size_t skipBlanks(std::size_t pos) {
        while (pos < end_ && isBlank(text_[pos]))
            ++pos;
        reach(pos);
        return pos;
    }

    // A word, or any other single byte; 0 at the end of the text.
    std::size_t tokenLengthAt(std::size_t pos) const {
        if (pos >= end_)
            return 0;
        if (!isWordStart(text_[pos]))
            return 1;
        std::size_t last = pos + 1;
        while (last < end_ && isWordChar(text_[last]))
            ++last;
        return last - pos;
    }

    // The position of the ">" that ends a tag's parameter text: the first one
    // outside single- and double-quoted stretches, or the end of the text.
    std::size_t tagEnd(std::size_t pos) {
        bool inDouble = false;
        bool inSingle = false;
        for (; pos < end_; ++pos) {
            const char c = text_[pos];
            if (c == '"' && !inSingle)
                inDouble = !inDouble;
            else if (c == '\'' && !inDouble)
                inSingle = !inSingle;
            else if (c == '>' && !inDouble && !inSingle)
                break;
        }
        reach(pos);
        return pos;
    }

    std::string_view trimBlanks(std::size_t begin, std::size_t end) const {
        while (begin < end && isBlank(text_[begin]))
            ++begin;
        while (end > begin && isBlank(text_[end - 1]))
            --end;
        return {text_ + begin, end - begin};
    }

    const char* text_;
    std::size_t rawEnd_;        // the whole text, as the window reads it
    std::size_t end_;           // where reading stops: the first zero byte or rawEnd_
    std::size_t windowEnd_ = 0; // end of the bytes read so far
    std::size_t blockStart_ = std::string_view::npos; // the block blockMask_ describes
    std::uint64_t blockMask_ = 0;
};

// Keeps the count of running expansions right however an expansion ends.
class NestingGuard {
public:
    explicit NestingGuard(int& nesting) : nesting_(nesting) {
        if (nesting_ >= kMaxTemplateNesting)
            throw TemplateError("Templates nested deeper than " +
                                std::to_string(kMaxTemplateNesting) + " levels");
        ++nesting_;
    }
    ~NestingGuard() { --nesting_; }
    NestingGuard(const NestingGuard&) = delete;
    NestingGuard& operator=(const NestingGuard&) = delete;

private:
    int& nesting_;
};

} // namespace

TagKind tagKindFromName(std::string_view tagName) {
    static constexpr std::pair<std::string_view, TagKind> kinds[] = {
        {"LINK", TagKind::Link},         {"IMAGE", TagKind::Image},   {"TABLE", TagKind::Table},
        {"IMAGEMAP", TagKind::ImageMap}, {"OBJECT", TagKind::Object}, {"EMBED", TagKind::Embed},
    };
    for (const auto& [name, kind] : kinds) {
        if (equalsIgnoringAsciiCase(tagName, name))
            return kind;
    }
    return TagKind::Custom;
}

void TagParameters::parse(std::string_view parameterText, bool stripQuotes) {
    buffer_.assign(parameterText);
    fields_.clear();
    char* data = buffer_.data();
    const std::size_t size = buffer_.size();
    std::size_t pos = 0;
    for (;;) {
        while (pos < size && isFieldSeparator(data[pos]))
            ++pos;
        if (pos >= size)
            break;

        std::size_t begin = pos;
        std::size_t end;
        if (data[pos] == '"') {
            // The field is what the quotes enclose, or the rest when unclosed.
            begin = pos + 1;
            const auto* close =
                static_cast<const char*>(std::memchr(data + begin, '"', size - begin));
            end = close ? static_cast<std::size_t>(close - data) : size;
            pos = close ? end + 1 : size;
        } else {
            bool quoted = false;
            while (pos < size) {
                const char c = data[pos];
                if (!quoted && isFieldSeparator(c))
                    break;
                ++pos;
                if (c == '"') {
                    if (quoted)
                        break; // the closing quote ends the field
                    quoted = true;
                }
            }
            end = pos;
        }

        // Both steps only shrink the field, so they stay inside its bytes.
        if (stripQuotes)
            begin = stripQuotesInPlace(data, begin, end);
        end = urlDecodeInPlace(data, begin, end);
        fields_.emplace_back(begin, end - begin);
    }
}

std::string_view TagParameters::operator[](std::size_t index) const {
    const auto& [offset, length] = fields_.at(index);
    return std::string_view(buffer_).substr(offset, length);
}

std::string_view TagParameters::value(std::string_view name) const {
    for (std::size_t index = 0; index < fields_.size(); ++index) {
        const std::string_view field = (*this)[index];
        const std::size_t equals = field.find('=');
        if (equals != std::string_view::npos &&
            equalsIgnoringAsciiCase(field.substr(0, equals), name))
            return field.substr(equals + 1);
    }
    return {};
}

std::string TBasePageProducer::contentFromString(std::string_view text) {
    NestingGuard guard(nesting_);
    return Expansion(text).run(
        stripParamQuotes_,
        [this](TagKind kind, std::string_view tagName, const TagParameters& parameters,
               std::string& replacement) { handleTag(kind, tagName, parameters, replacement); });
}

void TCustomPageProducer::setTemplateText(std::string_view text) {
    text = text.substr(0, text.find('\0'));
    template_.clear();
    std::size_t pos = 0;
    while (pos < text.size()) {
        const std::size_t lineEnd = std::min(text.find_first_of("\r\n", pos), text.size());
        template_.emplace_back(text.substr(pos, lineEnd - pos));
        pos = lineEnd;
        if (pos < text.size() && text[pos++] == '\r' && pos < text.size() && text[pos] == '\n')
            ++pos; // CR LF is one break
    }
}

std::string TCustomPageProducer::templateText() const {
    std::size_t size = 0;
    for (const auto& line : template_)
        size += line.size() + 2;
    std::string text(size, '\0');
    char* write = text.data();
    for (const auto& line : template_) {
        write = std::copy(line.begin(), line.end(), write);
        *write++ = '\r';
        *write++ = '\n';
    }
    return text;
}

void TCustomPageProducer::setTagHandler(TagHandler handler) {
    handler_ = handler ? std::make_shared<const TagHandler>(std::move(handler)) : nullptr;
}

void TCustomPageProducer::handleTag(TagKind kind, std::string_view tagName,
                                    const TagParameters& parameters, std::string& replacement) {
    const auto handler = handler_;
    if (handler)
        (*handler)(*this, kind, tagName, parameters, replacement);
}

} // namespace qeltv
