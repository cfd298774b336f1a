// Writes fuzz seeds at and just past every input limit of the request parser
// and the template engine, built from the limits' own constants, so the
// fuzzers start from inputs that reach them: limit-seeds/<target>/<name>.
#include "web/HttpRequest.h"
#include "web/PageProducer.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

namespace fs = std::filesystem;
using namespace qeltv;
using namespace qeltv::web;

// The page producer fuzzer's first byte picks what the rest is.
constexpr char kLoadTemplate = 0;
constexpr char kExpandString = 1;
// Long enough for a numbered header name and a value.
constexpr std::size_t kShortestLine = 16;

bool write(const fs::path& folder, const std::string& name, const std::string& bytes) {
    fs::create_directories(folder);
    std::ofstream out(folder / name, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out);
}

// A request line of exactly `length` bytes, without its line end.
std::string requestLine(std::size_t length) {
    const std::string start = "GET /";
    const std::string end = " HTTP/1.1";
    return start + std::string(length - start.size() - end.size(), 'a') + end;
}

// Header lines of kHttpMaxLineBytes that add up to `total` bytes.
std::string headerLines(std::size_t total) {
    std::string lines;
    for (std::size_t n = 0; total > 0; ++n) {
        const std::string name = "X-" + std::to_string(n) + ": ";
        std::size_t length = std::min(total, kHttpMaxLineBytes);
        // The last line needs room for its name too.
        if (total > length && total - length < kShortestLine)
            length -= kShortestLine;
        lines += name + std::string(length - name.size(), 'v') + "\r\n";
        total -= length;
    }
    return lines;
}

std::string manyHeaders(std::size_t count) {
    std::string lines;
    for (std::size_t n = 0; n < count; ++n)
        lines += "H" + std::to_string(n) + ": x\r\n";
    return lines;
}

std::string post(std::size_t bodyBytes) {
    return "POST /form.html HTTP/1.1\r\nContent-Type: application/x-www-form-urlencoded\r\n"
           "Content-Length: " +
           std::to_string(bodyBytes) + "\r\n\r\n" + std::string(bodyBytes, 'b');
}

// A body read to the client's close: no Content-Length.
std::string postToClose(std::size_t bodyBytes) {
    return "POST /form.html HTTP/1.0\r\n\r\n" + std::string(bodyBytes, 'c');
}

// A template line of `length` bytes with its line break, a tag at its end.
std::string templateLine(std::size_t length, const std::string& lineBreak) {
    const std::string tag = "<#Value a=1>";
    return std::string(length - tag.size() - lineBreak.size(), 't') + tag + lineBreak + "<#next>\n";
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <folder>\n", argv[0]);
        return 2;
    }
    const fs::path http = fs::path(argv[1]) / "http_request";
    const fs::path page = fs::path(argv[1]) / "page_producer";
    bool ok = true;
    ok &= write(http, "line_at_limit", requestLine(kHttpMaxLineBytes) + "\r\n\r\n");
    ok &= write(http, "line_past_limit", requestLine(kHttpMaxLineBytes + 1) + "\r\n\r\n");
    ok &= write(http, "line_at_limit_bare_lf", requestLine(kHttpMaxLineBytes) + "\n\n");
    ok &= write(http, "header_at_limit",
                "GET / HTTP/1.1\r\n" + headerLines(kHttpMaxHeaderBytes) + "\r\n");
    ok &= write(http, "header_past_limit",
                "GET / HTTP/1.1\r\n" + headerLines(kHttpMaxHeaderBytes + 1) + "\r\n");
    ok &= write(http, "header_count_at_limit",
                "GET / HTTP/1.1\r\n" + manyHeaders(kHttpMaxHeaderCount) + "\r\n");
    ok &= write(http, "header_count_past_limit",
                "GET / HTTP/1.1\r\n" + manyHeaders(kHttpMaxHeaderCount + 1) + "\r\n");
    ok &= write(http, "body_at_limit", post(kHttpMaxBodyBytes));
    ok &= write(http, "body_past_limit", post(kHttpMaxBodyBytes + 1));
    ok &= write(http, "body_to_close_at_limit", postToClose(kHttpMaxBodyBytes));
    ok &= write(http, "body_to_close_past_limit", postToClose(kHttpMaxBodyBytes + 1));

    for (const char* lineBreak : {"\n", "\r\n"}) {
        const std::string suffix = lineBreak[0] == '\r' ? "_crlf" : "_lf";
        for (const char mode : {kLoadTemplate, kExpandString}) {
            const std::string prefix = mode == kLoadTemplate ? "load" : "expand";
            ok &= write(page, prefix + "_line_at_window" + suffix,
                        std::string(1, mode) + templateLine(kTemplateWindowBytes, lineBreak));
            ok &= write(page, prefix + "_line_past_window" + suffix,
                        std::string(1, mode) + templateLine(kTemplateWindowBytes + 1, lineBreak));
        }
    }
    if (!ok) {
        std::fprintf(stderr, "could not write the seeds into %s\n", argv[1]);
        return 1;
    }
    return 0;
}
