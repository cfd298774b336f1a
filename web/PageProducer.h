// The page template engine: copies a template to the output and replaces each
// tag of the form "<#" name parameters ">" by the text a tag handler supplies.
//
// The engine knows no tag names of its own. It reads the template through a
// window of kTemplateWindowBytes that keeps whole lines, so every template
// line together with its line break must fit into that window. A tag's
// parameter text is cut into fields (name=value entries), the quotes are
// stripped and the fields are URL-decoded before the handler sees them.
//
// Errors end the expansion with a TemplateError whose text says where it
// happened; a handler's own exceptions pass through unchanged.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace qeltv {

// Bytes of template text the engine looks at in one piece; one template line
// and its line break must fit into it.
constexpr std::size_t kTemplateWindowBytes = 4096;
// Expansions of one producer that may run inside each other (a tag handler
// that expands an included template on the same producer). A template that
// includes itself stops here instead of exhausting the stack.
constexpr int kMaxTemplateNesting = 64;

// A template that cannot be expanded: a line too long for the reading window,
// a parameter with a broken %XX escape, or includes nested too deeply.
class TemplateError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The kind the handler receives with each tag, found by the tag name (ASCII
// letters compared without regard to case); any other name is Custom.
enum class TagKind : int {
    Custom = 0,   // any other name
    Link = 1,     // "LINK"
    Image = 2,    // "IMAGE"
    Table = 3,    // "TABLE"
    ImageMap = 4, // "IMAGEMAP"
    Object = 5,   // "OBJECT"
    Embed = 6,    // "EMBED"
};

TagKind tagKindFromName(std::string_view tagName);

// The parameter list of one tag: its fields in the order in which they stand,
// after quote stripping and URL decoding. The views it hands out stay valid
// until the list is parsed again or destroyed.
class TagParameters {
public:
    // Cuts a tag's parameter text into fields. Spaces, CR and LF separate
    // fields outside double quotes; with stripQuotes each field loses its
    // quote characters; then "+" becomes a space, "%XX" the byte XX and "%%"
    // a "%". Throws TemplateError on a broken escape, naming its position in
    // the field (counted from 1).
    void parse(std::string_view parameterText, bool stripQuotes);

    std::size_t size() const { return fields_.size(); }
    bool empty() const { return fields_.empty(); }
    std::string_view operator[](std::size_t index) const;

    // The value of the first field of the form name=value whose name equals
    // `name` (ASCII letters without regard to case); empty when there is none.
    std::string_view value(std::string_view name) const;

private:
    // Fields are made in place inside one buffer, so a tag costs no
    // allocation once the buffer has grown to the longest parameter text.
    std::string buffer_;
    std::vector<std::pair<std::size_t, std::size_t>> fields_; // offset, length
};

// The expansion itself; what a tag stands for is left to handleTag.
class TBasePageProducer {
public:
    TBasePageProducer() = default;
    virtual ~TBasePageProducer() = default;
    TBasePageProducer(const TBasePageProducer&) = delete;
    TBasePageProducer& operator=(const TBasePageProducer&) = delete;

    // On from construction: quote characters are removed from parameters.
    bool stripParamQuotes() const { return stripParamQuotes_; }
    void setStripParamQuotes(bool strip) { stripParamQuotes_ = strip; }

    // Expands `text` and returns the result. The text is only read, so the
    // caller may change whatever it came from while tags are handled.
    std::string contentFromString(std::string_view text);

protected:
    // Fills `replacement` (empty on entry) with the text for one tag.
    virtual void handleTag(TagKind kind, std::string_view tagName, const TagParameters& parameters,
                           std::string& replacement) = 0;

private:
    bool stripParamQuotes_ = true;
    int nesting_ = 0; // expansions of this producer now running
};

// A producer with a template held as lines and a tag handler callback.
class TCustomPageProducer : public TBasePageProducer {
public:
    using TagHandler =
        std::function<void(TCustomPageProducer& sender, TagKind kind, std::string_view tagName,
                           const TagParameters& parameters, std::string& replacement)>;

    // The template; its text is the lines joined, each followed by CR LF.
    std::vector<std::string>& templateLines() { return template_; }
    const std::vector<std::string>& templateLines() const { return template_; }
    // Replaces the template by `text` split at CR LF, CR or LF; a zero byte
    // ends the text.
    void setTemplateText(std::string_view text);
    std::string templateText() const;

    // With no handler every tag is replaced by nothing. The handler may be
    // replaced, and the template replaced and expanded again, while a tag is
    // being handled: the running expansion works on its own copy.
    void setTagHandler(TagHandler handler);

    // Expands the current template.
    std::string content() { return contentFromString(templateText()); }

protected:
    void handleTag(TagKind kind, std::string_view tagName, const TagParameters& parameters,
                   std::string& replacement) override;

private:
    std::vector<std::string> template_;
    // Shared so that a handler that replaces itself stays alive until it returns.
    std::shared_ptr<const TagHandler> handler_;
};

} // namespace qeltv
