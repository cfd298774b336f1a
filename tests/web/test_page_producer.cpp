#include "web/PageProducer.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

using namespace qeltv;

namespace {

struct SeenTag {
    TagKind kind;
    std::string name;
    std::vector<std::string> parameters;
};

// A producer whose handler records every tag and replaces it by "[name]".
class RecordingProducer {
public:
    RecordingProducer() {
        producer.setTagHandler([this](TCustomPageProducer&, TagKind kind, std::string_view name,
                                      const TagParameters& parameters, std::string& replacement) {
            EXPECT_TRUE(replacement.empty());
            SeenTag tag{kind, std::string(name), {}};
            for (std::size_t i = 0; i < parameters.size(); ++i)
                tag.parameters.emplace_back(parameters[i]);
            seen.push_back(std::move(tag));
            replacement = "[" + std::string(name) + "]";
        });
    }
    // Expands the lines; the template text ends every line with CR LF.
    std::string expand(std::vector<std::string> lines) {
        producer.templateLines() = std::move(lines);
        return producer.content();
    }

    TCustomPageProducer producer;
    std::vector<SeenTag> seen;
};

std::string errorOf(TCustomPageProducer& producer) {
    try {
        producer.content();
    } catch (const TemplateError& error) {
        return error.what();
    }
    return "no error";
}

std::vector<std::string> fieldsOf(std::string_view text, bool stripQuotes = true) {
    TagParameters parameters;
    parameters.parse(text, stripQuotes);
    std::vector<std::string> fields;
    for (std::size_t i = 0; i < parameters.size(); ++i)
        fields.emplace_back(parameters[i]);
    return fields;
}

std::string decodeErrorOf(std::string_view text) {
    try {
        fieldsOf(text);
    } catch (const TemplateError& error) {
        return error.what();
    }
    return "no error";
}

using Fields = std::vector<std::string>;

} // namespace

TEST(PageProducerText, TextWithoutTagsIsCopiedExceptBlanksAfterALessThan) {
    RecordingProducer p;
    EXPECT_EQ(p.expand({"plain text,\ttabs and 8-bit \xE9\xFF bytes", "<b>bold</b> 3 > 2"}),
              "plain text,\ttabs and 8-bit \xE9\xFF bytes\r\n<b>bold</b> 3 > 2\r\n");
    // Blanks between a "<" and the next token are dropped, line breaks too.
    EXPECT_EQ(p.expand({"a < b", "x <", "  \t y"}), "a <b\r\nx <y\r\n");
    // A "<" with only blanks after it stays, and the blanks go.
    EXPECT_EQ(p.expand({"end <"}), "end <");
    EXPECT_TRUE(p.seen.empty());
}

TEST(PageProducerText, ALessThanBeforeATagHidesIt) {
    RecordingProducer p;
    // The second "<" is the token after the first one and is copied unexamined.
    EXPECT_EQ(p.expand({"a<<#Tag x=1>b"}), "a<<#Tag x=1>b\r\n");
    EXPECT_EQ(p.expand({"a< <#Tag>b"}), "a<<#Tag>b\r\n");
    EXPECT_TRUE(p.seen.empty());
    // A third "<" is examined again.
    EXPECT_EQ(p.expand({"<<<#Tag>"}), "<<[Tag]\r\n");
    ASSERT_EQ(p.seen.size(), 1u);
}

TEST(PageProducerText, TagsAndLessThansAreFoundAtEveryOffset) {
    // Guards the search for "<" across its blocks of bytes and the last short block.
    RecordingProducer p;
    for (std::size_t offset = 0; offset < 200; ++offset) {
        const std::string lead(offset, 'x');
        EXPECT_EQ(p.expand({lead + "<#T>< y" + lead + "<"}), lead + "[T]<y" + lead + "<")
            << "offset " << offset;
    }
    EXPECT_EQ(p.seen.size(), 200u);
}

TEST(PageProducerText, AZeroByteEndsTheText) {
    RecordingProducer p;
    EXPECT_EQ(p.expand({std::string("ab\0<#Tag>cd", 11), "next"}), "ab");
    EXPECT_EQ(p.expand({std::string("<\0#Tag>", 7)}), "<");
    EXPECT_EQ(p.expand({std::string("<#Tag a=1\0>rest", 15)}), "[Tag]");
    ASSERT_EQ(p.seen.size(), 1u);
    EXPECT_EQ(p.seen[0].parameters, Fields{"a=1"});
}

TEST(PageProducerTags, SimpleTagHasNameCustomKindAndNoParameters) {
    RecordingProducer p;
    EXPECT_EQ(p.expand({"<p><#WebcastStatus></p>"}), "<p>[WebcastStatus]</p>\r\n");
    ASSERT_EQ(p.seen.size(), 1u);
    EXPECT_EQ(p.seen[0].name, "WebcastStatus");
    EXPECT_EQ(p.seen[0].kind, TagKind::Custom);
    EXPECT_TRUE(p.seen[0].parameters.empty());
}

TEST(PageProducerTags, BlanksInsideATagChangeNothing) {
    RecordingProducer p;
    EXPECT_EQ(p.expand({"x<#Include resourcename=HEADER_HTML>y",
                        "x< \t#  Include \t resourcename=HEADER_HTML   >y", "x<", "#", "Include",
                        "resourcename=HEADER_HTML", ">y"}),
              "x[Include]y\r\nx[Include]y\r\nx[Include]y\r\n");
    ASSERT_EQ(p.seen.size(), 3u);
    for (const auto& tag : p.seen) {
        EXPECT_EQ(tag.name, "Include");
        EXPECT_EQ(tag.parameters, Fields{"resourcename=HEADER_HTML"});
    }
}

TEST(PageProducerTags, TagsAreHandledInOrderAndTheReplacementIsNotRescanned) {
    TCustomPageProducer producer;
    std::vector<std::string> names;
    producer.setTagHandler([&](TCustomPageProducer&, TagKind, std::string_view name,
                               const TagParameters&, std::string& replacement) {
        names.emplace_back(name);
        replacement = "<#Inner>";
    });
    producer.templateLines() = {"<#One><#Two>", "<#Three>"};
    EXPECT_EQ(producer.content(), "<#Inner><#Inner>\r\n<#Inner>\r\n");
    EXPECT_EQ(names, (std::vector<std::string>{"One", "Two", "Three"}));
}

TEST(PageProducerTags, TagInsideAnAttributeValueIsExpanded) {
    RecordingProducer p;
    EXPECT_EQ(p.expand({"<param name=\"FileName\" value=\"<#WebcastURL>\">"}),
              "<param name=\"FileName\" value=\"[WebcastURL]\">\r\n");
}

TEST(PageProducerTags, GreaterThanInsideQuotesDoesNotEndTheTag) {
    RecordingProducer p;
    EXPECT_EQ(p.expand({"<#A x=\"1>2\">|<#B y='3>4'>|<#C z=\"it's>\">|<#D w='say \"hi>'>"}),
              "[A]|[B]|[C]|[D]\r\n");
    ASSERT_EQ(p.seen.size(), 4u);
    EXPECT_EQ(p.seen[0].parameters, Fields{"x=1>2"});
    EXPECT_EQ(p.seen[1].parameters, Fields{"y=3>4"});
    // A quote of the other kind inside a stretch neither opens nor closes one.
    EXPECT_EQ(p.seen[2].parameters, Fields{"z=it's>"});
    EXPECT_EQ(p.seen[3].parameters, (Fields{"w=say", "hi>"}));
}

TEST(PageProducerTags, NameIsAWordOrOneByte) {
    RecordingProducer p;
    EXPECT_EQ(p.expand({"<#_a1b2-rest>|<#9lives>|<#>x>"}), "[_a1b2]|[9]|[>]\r\n");
    ASSERT_EQ(p.seen.size(), 3u);
    EXPECT_EQ(p.seen[0].parameters, Fields{"-rest"});
    EXPECT_EQ(p.seen[1].parameters, Fields{"lives"});
    EXPECT_EQ(p.seen[2].parameters, Fields{"x"});
}

TEST(PageProducerTags, TagWithoutClosingBracketRunsToTheEnd) {
    RecordingProducer p;
    EXPECT_EQ(p.expand({"head <#Include a=1", "b=2 <p"}), "head [Include]");
    ASSERT_EQ(p.seen.size(), 1u);
    EXPECT_EQ(p.seen[0].parameters, (Fields{"a=1", "b=2", "<p"}));
    // A tag cut off right after "<#" still reaches the handler, with no name.
    EXPECT_EQ(p.expand({"x<#"}), "x[]");
    EXPECT_EQ(p.seen.back().name, "");
}

TEST(PageProducerTags, KindsFollowTheNameWithoutRegardToCase) {
    EXPECT_EQ(tagKindFromName("image"), TagKind::Image);
    EXPECT_EQ(tagKindFromName("Image"), TagKind::Image);
    EXPECT_EQ(tagKindFromName("IMAGE"), TagKind::Image);
    EXPECT_EQ(tagKindFromName("Link"), TagKind::Link);
    EXPECT_EQ(tagKindFromName("table"), TagKind::Table);
    EXPECT_EQ(tagKindFromName("ImageMap"), TagKind::ImageMap);
    EXPECT_EQ(tagKindFromName("oBJECT"), TagKind::Object);
    EXPECT_EQ(tagKindFromName("embed"), TagKind::Embed);
    EXPECT_EQ(tagKindFromName("IMAGES"), TagKind::Custom);
    EXPECT_EQ(tagKindFromName("IMAG"), TagKind::Custom);
    EXPECT_EQ(tagKindFromName(""), TagKind::Custom);

    RecordingProducer p;
    p.expand({"<#image src=a><#EMBED><#Include>"});
    ASSERT_EQ(p.seen.size(), 3u);
    EXPECT_EQ(static_cast<int>(p.seen[0].kind), 2);
    EXPECT_EQ(static_cast<int>(p.seen[1].kind), 6);
    EXPECT_EQ(static_cast<int>(p.seen[2].kind), 0);
}

TEST(PageProducerTags, WithoutAHandlerTagsAreRemoved) {
    TCustomPageProducer producer;
    producer.templateLines() = {"a<#Include resourcename=HEADER_HTML>b<#X", "y>c"};
    EXPECT_EQ(producer.content(), "abc\r\n");
    // Decoding still runs, so a broken escape is still an error.
    producer.templateLines() = {"<#X a=%4>"};
    EXPECT_EQ(errorOf(producer), "Error decoding URL style (%XX) encoded string at position 3");
}

TEST(PageProducerParameters, FieldsAreSplitOnSpaceCrAndLfOutsideDoubleQuotes) {
    EXPECT_EQ(fieldsOf(""), Fields{});
    EXPECT_EQ(fieldsOf("  \r\n "), Fields{});
    EXPECT_EQ(fieldsOf(" a=1  b=2\r\nc\nd\re"), (Fields{"a=1", "b=2", "c", "d", "e"}));
    // A tab is no separator.
    EXPECT_EQ(fieldsOf("a\tb c"), (Fields{"a\tb", "c"}));
    EXPECT_EQ(fieldsOf("title=\"two words\" next"), (Fields{"title=two words", "next"}));
    // The closing double quote ends the field; what follows starts the next.
    EXPECT_EQ(fieldsOf("a=\"x y\"b"), (Fields{"a=x y", "b"}));
    // A leading double quote is left out, and so is its partner.
    EXPECT_EQ(fieldsOf("\"one two\"three"), (Fields{"one two", "three"}));
    EXPECT_EQ(fieldsOf("\"\" x"), (Fields{"", "x"}));
    // Unclosed quotes run to the end of the text.
    EXPECT_EQ(fieldsOf("a=\"x y z"), Fields{"a=x y z"});
    EXPECT_EQ(fieldsOf("\"x y z"), Fields{"x y z"});
    // Single quotes do not keep spaces together.
    EXPECT_EQ(fieldsOf("a='x y'"), (Fields{"a=x", "y"}));
}

TEST(PageProducerParameters, QuotesAreStrippedFromTheEnd) {
    EXPECT_EQ(fieldsOf("resourcename=\"HEADER_HTML\""), Fields{"resourcename=HEADER_HTML"});
    EXPECT_EQ(fieldsOf("a='it\"s'"), Fields{"a=it\"s"});
    EXPECT_EQ(fieldsOf("a=it's"), Fields{"a=its"});
    // From the end: the last quote pairs with the one before it of its kind.
    EXPECT_EQ(fieldsOf("'a\"b'c\""), Fields{"ab'c"});
    EXPECT_EQ(fieldsOf("x''''y"), Fields{"xy"});
    EXPECT_EQ(fieldsOf("x'''y"), Fields{"xy"});
    EXPECT_EQ(fieldsOf("a=\"x\""), Fields{"a=x"});
    // With stripping off the quotes stay.
    EXPECT_EQ(fieldsOf("a='x' b=\"y z\"", false), (Fields{"a='x'", "b=\"y z\""}));
}

TEST(PageProducerParameters, FieldsAreUrlDecoded) {
    EXPECT_EQ(fieldsOf("a=x+y"), Fields{"a=x y"});
    EXPECT_EQ(fieldsOf("a=%41%6a%7E"), Fields{"a=Aj~"});
    EXPECT_EQ(fieldsOf("a=100%%"), Fields{"a=100%"});
    EXPECT_EQ(fieldsOf("%%41"), Fields{"%41"});
    EXPECT_EQ(fieldsOf("a=%20%2B"), Fields{"a= +"});
    EXPECT_EQ(fieldsOf("%FF%00z"), Fields{std::string("\xFF\0z", 3)});
    // Decoding follows stripping, so an encoded quote survives.
    EXPECT_EQ(fieldsOf("a=%22q%22"), Fields{"a=\"q\""});
}

TEST(PageProducerParameters, BrokenEscapesNameTheirPosition) {
    EXPECT_EQ(decodeErrorOf("a=%4"), "Error decoding URL style (%XX) encoded string at position 3");
    EXPECT_EQ(decodeErrorOf("%"), "Error decoding URL style (%XX) encoded string at position 1");
    EXPECT_EQ(decodeErrorOf("ok a=%zz"), "Invalid URL encoded character (%zz) at position 3");
    EXPECT_EQ(decodeErrorOf("%4g"), "Invalid URL encoded character (%4g) at position 1");
    EXPECT_EQ(decodeErrorOf("%a%"), "Invalid URL encoded character (%a%) at position 1");
    EXPECT_EQ(decodeErrorOf("+ab%41x%q"),
              "Error decoding URL style (%XX) encoded string at position 8");
    // The position is counted in the field after its quotes went.
    EXPECT_EQ(decodeErrorOf("x\"y=%g1\""), "Invalid URL encoded character (%g1) at position 4");
}

TEST(PageProducerParameters, ValuesAreFoundByNameWithoutRegardToCase) {
    TagParameters parameters;
    parameters.parse("flag ResourceName=HEADER_HTML resourcename=second x=a=b =empty", true);
    EXPECT_EQ(parameters.size(), 5u);
    EXPECT_EQ(parameters.value("resourcename"), "HEADER_HTML");
    EXPECT_EQ(parameters.value("RESOURCENAME"), "HEADER_HTML");
    EXPECT_EQ(parameters.value("x"), "a=b");
    EXPECT_EQ(parameters.value(""), "empty");
    // An entry without "=" has no name.
    EXPECT_EQ(parameters.value("flag"), "");
    EXPECT_EQ(parameters.value("missing"), "");
    EXPECT_THROW(parameters[5], std::out_of_range);
}

TEST(PageProducerWindow, LineMustFitIntoTheWindowWithItsBreak) {
    RecordingProducer p;
    const std::string fits(kTemplateWindowBytes - 2, 'x');
    EXPECT_EQ(p.expand({fits}), fits + "\r\n");
    EXPECT_EQ(p.expand({"a", fits, "b"}), "a\r\n" + fits + "\r\nb\r\n");

    p.producer.templateLines() = {fits + "x"};
    EXPECT_EQ(errorOf(p.producer), "Line too long on line 1");
    p.producer.templateLines() = {"one", "two", fits + "x", "four"};
    EXPECT_EQ(errorOf(p.producer), "Line too long on line 3");
}

TEST(PageProducerWindow, LongLineFarIntoTheTextNamesItsLine) {
    RecordingProducer p;
    std::vector<std::string> lines(500, std::string(70, 'y'));
    lines[10] = "<#Early>";
    lines.push_back(std::string(kTemplateWindowBytes, 'z'));
    lines.push_back("<#Late>");
    p.producer.templateLines() = lines;
    EXPECT_EQ(errorOf(p.producer), "Line too long on line 501");
    // Tags before the line are handled before the error, later ones never.
    ASSERT_EQ(p.seen.size(), 1u);
    EXPECT_EQ(p.seen[0].name, "Early");
}

TEST(PageProducerWindow, ATagRunningIntoALongLineFails) {
    RecordingProducer p;
    p.producer.templateLines() = {"<#Open a=1", std::string(kTemplateWindowBytes, 'z'), ">"};
    EXPECT_EQ(errorOf(p.producer), "Line too long on line 2");
    EXPECT_TRUE(p.seen.empty());
}

TEST(PageProducerWindow, BytesAfterAZeroAreNotReadIntoLaterWindows) {
    RecordingProducer p;
    std::vector<std::string> lines(100, std::string(70, 'y'));
    lines.push_back(std::string("stop\0", 5));
    lines.push_back(std::string(2 * kTemplateWindowBytes, 'z'));
    p.producer.templateLines() = lines;
    EXPECT_EQ(p.producer.content().size(), 100 * 72 + 4);
}

TEST(PageProducerTemplate, TextIsSplitAtAnyLineBreak) {
    TCustomPageProducer producer;
    producer.setTemplateText("a\r\nb\rc\nd\n\ne\r\r\nf\r\n");
    EXPECT_EQ(producer.templateLines(),
              (std::vector<std::string>{"a", "b", "c", "d", "", "e", "", "f"}));
    EXPECT_EQ(producer.templateText(), "a\r\nb\r\nc\r\nd\r\n\r\ne\r\n\r\nf\r\n");
    producer.setTemplateText(std::string("one\r\ntwo\0three\r\n", 16));
    EXPECT_EQ(producer.templateLines(), (std::vector<std::string>{"one", "two"}));
    producer.setTemplateText("");
    EXPECT_TRUE(producer.templateLines().empty());
    EXPECT_EQ(producer.content(), "");
}

TEST(PageProducerNesting, HandlerMayReplaceAndExpandTheTemplateOfItsOwnProducer) {
    TCustomPageProducer producer;
    producer.setTagHandler([](TCustomPageProducer& sender, TagKind, std::string_view name,
                              const TagParameters& parameters, std::string& replacement) {
        if (name == "Include") {
            const std::string resource(parameters.value("resourcename"));
            if (resource == "HEADER")
                sender.setTemplateText("<h1><#Include resourcename=TITLE></h1>");
            else if (resource == "TITLE")
                sender.setTemplateText("Title <#Value>");
            else
                return;
            replacement = sender.content();
        } else if (name == "Value") {
            replacement = "42";
        }
    });
    producer.templateLines() = {"<html><#Include resourcename=HEADER>", "<#Value> <#Include "
                                                                        "resourcename=none>end"};
    // The outer expansion goes on with its own text after the template was replaced.
    EXPECT_EQ(producer.content(), "<html><h1>Title 42\r\n</h1>\r\n\r\n42 end\r\n");
    EXPECT_EQ(producer.templateText(), "Title <#Value>\r\n");
}

TEST(PageProducerNesting, SelfIncludingTemplateStopsAtTheNestingLimit) {
    TCustomPageProducer producer;
    int calls = 0;
    producer.setTagHandler([&](TCustomPageProducer& sender, TagKind, std::string_view,
                               const TagParameters&, std::string& replacement) {
        ++calls;
        replacement = sender.content();
    });
    producer.templateLines() = {"again <#Include resourcename=SELF>"};
    EXPECT_EQ(errorOf(producer), "Templates nested deeper than 64 levels");
    EXPECT_EQ(calls, kMaxTemplateNesting);

    // The count of running expansions went back to zero with the error.
    producer.setTagHandler(nullptr);
    EXPECT_EQ(producer.content(), "again \r\n");
}

TEST(PageProducerNesting, SixtyFourLevelsAreAllowed) {
    TCustomPageProducer producer;
    int depth = 1;
    producer.setTagHandler([&](TCustomPageProducer& sender, TagKind, std::string_view,
                               const TagParameters&, std::string& replacement) {
        if (depth < kMaxTemplateNesting) {
            ++depth;
            replacement = sender.content();
            --depth;
        } else {
            replacement = std::to_string(depth);
        }
    });
    producer.templateLines() = {"<#Down>"};
    std::string expected = "64";
    for (int level = 0; level < kMaxTemplateNesting - 1; ++level)
        expected += "\r\n";
    EXPECT_EQ(producer.content(), expected + "\r\n");
}

TEST(PageProducerNesting, HandlerFailurePassesThroughUnchanged) {
    struct OwnFailure : std::exception {
        const char* what() const noexcept override { return "own"; }
    };
    TCustomPageProducer producer;
    producer.setTagHandler([](TCustomPageProducer&, TagKind, std::string_view, const TagParameters&,
                              std::string&) { throw OwnFailure(); });
    producer.templateLines() = {"<#Boom>"};
    EXPECT_THROW(producer.content(), OwnFailure);
}

TEST(PageProducerNesting, HandlerMayReplaceItselfWhileRunning) {
    // Guards the handler's lifetime: replacing it must not destroy the running one.
    TCustomPageProducer producer;
    std::string marker = "first handler, long enough to live on the heap";
    producer.setTagHandler([marker](TCustomPageProducer& sender, TagKind, std::string_view,
                                    const TagParameters&, std::string& replacement) {
        sender.setTagHandler([](TCustomPageProducer&, TagKind, std::string_view,
                                const TagParameters&, std::string& r) { r = "second"; });
        replacement = marker;
    });
    producer.templateLines() = {"<#A> <#B>"};
    EXPECT_EQ(producer.content(), marker + " second\r\n");
}

TEST(PageProducerQuotesFlag, OnFromConstructionAndCanBeTurnedOff) {
    RecordingProducer p;
    EXPECT_TRUE(p.producer.stripParamQuotes());
    p.producer.setStripParamQuotes(false);
    p.expand({"<#Include resourcename=\"HEADER_HTML\">"});
    ASSERT_EQ(p.seen.size(), 1u);
    EXPECT_EQ(p.seen[0].parameters, Fields{"resourcename=\"HEADER_HTML\""});
}
