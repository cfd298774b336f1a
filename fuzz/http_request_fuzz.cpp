// Feeds arbitrary bytes to the web server's request parser, whole and in
// pieces of a size the input chooses, and checks that both readings agree;
// also runs the decoders and the response head writer on the same bytes.
#include "web/HttpRequest.h"

#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>
#include <string_view>

using namespace qeltv::web;

namespace {

// Outcome of one reading: the error text, or the parsed request's fields.
std::string outcome(std::string_view bytes, std::size_t piece_bytes) {
    HttpRequestParser parser;
    try {
        std::size_t offset = 0;
        while (offset < bytes.size() && !parser.complete()) {
            const auto piece = bytes.substr(offset, piece_bytes);
            const auto used = parser.feed(piece);
            if (used > piece.size())
                std::abort();
            if (used < piece.size() && !parser.complete())
                std::abort(); // input may only be left over once complete
            offset += piece.size();
        }
        if (!parser.complete())
            parser.finishInput();
    } catch (const HttpRequestError& error) {
        return std::string("error:") + error.what();
    }
    const HttpRequest& r = parser.request();
    if (r.body.size() > kHttpMaxBodyBytes || r.header_lines.size() > kHttpMaxHeaderCount)
        std::abort();
    if (r.command != "GET" && r.command != "POST" && r.command != "HEAD")
        std::abort();
    std::string all = r.raw_request_line + '\0' + r.command + '\0' + r.version + '\0' + r.target +
                      '\0' + r.document + '\0' + r.query_text + '\0' + r.host + '\0' + r.user_name +
                      '\0' + r.password + '\0' + r.content_type + '\0' + r.body + '\0' +
                      std::to_string(r.content_length.value_or(-1)) +
                      (r.credentials_present ? "1" : "0");
    for (const auto& p : r.params)
        all += '\0' + p;
    for (const auto& h : r.header_lines)
        all += '\0' + h;
    return all;
}

void checkHead(std::string_view bytes) {
    HttpResponse response;
    const auto third = bytes.size() / 3;
    response.content_type = std::string(bytes.substr(0, third));
    response.realm = std::string(bytes.substr(third, third));
    response.server_software = std::string(bytes.substr(2 * third));
    if (!bytes.empty())
        response.setStatusCode(static_cast<unsigned char>(bytes[0]) + 100);
    if (bytes.size() % 2)
        response.body_stream = std::make_unique<std::istringstream>(std::string(bytes));
    const auto head = writeHttpResponseHead(response);
    // Every CR and LF of the head belongs to a line end.
    for (std::size_t i = 0; i < head.size(); ++i) {
        if (head[i] == '\r' && (i + 1 >= head.size() || head[i + 1] != '\n'))
            std::abort();
        if (head[i] == '\n' && (i == 0 || head[i - 1] != '\r'))
            std::abort();
    }
    if (head.size() < 4 || head.substr(head.size() - 4) != "\r\n\r\n")
        std::abort();
    if (!response.realm.empty() && head.find("\r\nContent-Length: ") != std::string::npos)
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const std::size_t piece_bytes = size == 0 ? 1 : (data[0] % 23) + 1;
    if (outcome(bytes, bytes.size() + 1) != outcome(bytes, piece_bytes))
        std::abort();

    if (urlDecode(bytes).size() > size)
        std::abort();
    if (base64Decode(bytes).size() > size * 3 / 4 + 1)
        std::abort();
    const auto params = splitParams(bytes);
    std::size_t ampersands = 0;
    for (char c : bytes)
        ampersands += c == '&';
    if (size > 0 && params.size() != ampersands + 1)
        std::abort();
    checkHead(bytes);
    return 0;
}
