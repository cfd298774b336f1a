// HTTP messages of the built-in web server: the request as the request handler
// receives it, the response it fills in, the request parser and the response
// writer. Everything here works on bytes only, so it is tested and fuzzed
// without sockets; web/HttpServer.h moves these bytes over the network.
#pragma once

#include <cstddef>
#include <cstdint>
#include <istream>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace qeltv::web {

// Longest request or header line, without its LF.
inline constexpr std::size_t kHttpMaxLineBytes = 16384;
// Bounds that keep one request's memory small whatever a client sends.
inline constexpr std::size_t kHttpMaxHeaderCount = 100;
inline constexpr std::size_t kHttpMaxHeaderBytes = 65536;
inline constexpr std::size_t kHttpMaxBodyBytes = 1024 * 1024;

// Value of the Server header.
inline constexpr std::string_view kHttpServerSoftware = "qELTV-HTTP/1.0";

// A request that is malformed or may not be served. The connection is closed
// without a response.
class HttpRequestError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct HttpRequest {
    std::string raw_request_line;    // the first line as received, without CR LF
    std::string command;             // the method, upper case
    std::string version;             // the request line's text after its last space
    std::string target;              // the target as sent, query included
    std::string document;            // URL-decoded path of the target, without the query
    std::string query_text;          // the target's text after the first "?"
    std::vector<std::string> params; // "name=value" as sent, URL-decoded, in order
    std::string host;
    bool credentials_present = false;
    std::string user_name;
    std::string password;
    std::string remote_address; // the peer's IPv4 address, filled in by the server
    std::vector<std::string> header_lines;
    std::string content_type;
    std::optional<std::int64_t> content_length;
    std::string body;

    // Value of the first header of that name, the name compared without regard
    // to case; nothing when there is no such header.
    std::optional<std::string> header(std::string_view name) const;
    // Value of the first parameter of that name, the name compared without
    // regard to case; empty when there is none.
    std::string param(std::string_view name) const;
};

// Reads one request from the bytes of a connection, as they arrive.
class HttpRequestParser {
public:
    // Takes bytes from the front of `bytes` and returns how many it used; once
    // the request is complete it uses nothing more (a second request on the
    // same connection is never read). Throws HttpRequestError.
    std::size_t feed(std::string_view bytes);
    // The client closed its side: completes a body read up to the close, and
    // throws HttpRequestError for any other unfinished request.
    void finishInput();
    bool complete() const { return phase_ == Phase::Complete; }
    // The parsed request; valid once complete.
    HttpRequest& request() { return request_; }

private:
    enum class Phase { RequestLine, Headers, Body, BodyToClose, Complete };

    void takeLine(std::string_view line);
    void takeRequestLine(std::string_view line);
    void takeHeaderLine(std::string_view line);
    void endOfHeaders();
    void finishRequest();

    Phase phase_ = Phase::RequestLine;
    std::string line_;
    std::size_t header_bytes_ = 0;
    std::size_t body_expected_ = 0;
    HttpRequest request_;
};

// The whole request in `bytes`; `input_closed` tells whether the client had
// closed its side after them. Nothing when more bytes are needed.
std::optional<HttpRequest> parseHttpRequest(std::string_view bytes, bool input_closed);

// "+" becomes a space, "%" and two hexadecimal digits the byte of that value;
// an escape that is malformed or has the value 0 is dropped with the (up to
// two) characters after its "%".
std::string urlDecode(std::string_view text);
// Standard alphabet; characters outside it are skipped, decoding ends at "=".
std::string base64Decode(std::string_view text);
// The parameter text cut at every "&" (empty pieces kept), each piece decoded.
// An empty text has no parameters.
std::vector<std::string> splitParams(std::string_view text);

class HttpResponse {
public:
    int statusCode() const { return status_code_; }
    const std::string& statusText() const { return status_text_; }
    // Sets the code and the status text that belongs to it.
    void setStatusCode(int code);

    std::string content_type = "text/html";
    std::string body_text; // the body when not empty
    // The body when the body text is empty, sent from its start; the response
    // owns it and frees it with itself.
    std::unique_ptr<std::istream> body_stream;
    std::string realm; // when not empty, the response is a Basic challenge
    std::string server_software{kHttpServerSoftware};
    std::optional<std::int64_t> content_length; // computed when the head is written

private:
    int status_code_ = 200;
    std::string status_text_ = "OK";
};

// Standard reason phrase of a status code; empty for a code it does not know.
std::string_view httpStatusText(int code);

// Completes the response as it goes on the wire (content length, challenge)
// and returns its status line and header lines with the empty line after them.
std::string writeHttpResponseHead(HttpResponse& response);
// The bytes sent after the head: the body text, or else the body stream's
// whole contents, or nothing.
std::string httpResponseBody(HttpResponse& response);

} // namespace qeltv::web
