#include "web/HttpRequest.h"

#include "common/Ascii.h"

#include <algorithm>
#include <iterator>

namespace qeltv::web {

namespace {

constexpr std::string_view kFormContentType = "application/x-www-form-urlencoded";
constexpr std::string_view kChallengeBodyStart = "<HTML><BODY><B>";
constexpr std::string_view kChallengeBodyEnd = "</B></BODY></HTML>";
constexpr int kUnauthorized = 401;

std::string_view trimmed(std::string_view text) {
    constexpr std::string_view kBlanks = " \t";
    const auto first = text.find_first_not_of(kBlanks);
    if (first == std::string_view::npos)
        return {};
    const auto last = text.find_last_not_of(kBlanks);
    return text.substr(first, last - first + 1);
}

int base64Value(char c) {
    if (c >= 'A' && c <= 'Z')
        return c - 'A';
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 26;
    if (c >= '0' && c <= '9')
        return c - '0' + 52;
    if (c == '+')
        return 62;
    if (c == '/')
        return 63;
    return -1;
}

bool isServedMethod(std::string_view command) {
    return command == "GET" || command == "POST" || command == "HEAD";
}

// Content-Length: decimal digits only; a value above the body bound is
// refused before a byte of the body is read.
std::int64_t parseContentLength(std::string_view value) {
    if (value.empty() ||
        !std::all_of(value.begin(), value.end(), [](char c) { return c >= '0' && c <= '9'; }))
        throw HttpRequestError("Invalid Content-Length.");
    std::uint64_t length = 0;
    for (char c : value) {
        length = length * 10 + static_cast<std::uint64_t>(c - '0');
        if (length > kHttpMaxBodyBytes)
            throw HttpRequestError("Request body too large.");
    }
    return static_cast<std::int64_t>(length);
}

// "scheme://[user@]host[:port]/path" gives its host and path; any other
// target gives nothing.
struct AbsoluteTarget {
    std::string host;
    std::string path;
};

std::optional<AbsoluteTarget> splitAbsoluteTarget(std::string_view target) {
    const auto scheme_end = target.find("://");
    if (scheme_end == std::string_view::npos || scheme_end == 0)
        return std::nullopt;
    const auto scheme = target.substr(0, scheme_end);
    const bool scheme_ok =
        std::all_of(scheme.begin(), scheme.end(),
                    [](char c) {
                        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                               (c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.';
                    }) &&
        asciiLower(scheme[0]) >= 'a' && asciiLower(scheme[0]) <= 'z';
    if (!scheme_ok)
        return std::nullopt;
    const auto rest = target.substr(scheme_end + 3);
    const auto path_start = rest.find('/');
    auto authority = rest.substr(0, path_start);
    if (const auto at = authority.rfind('@'); at != std::string_view::npos)
        authority.remove_prefix(at + 1);
    std::string_view host;
    if (!authority.empty() && authority.front() == '[') {
        const auto close = authority.find(']');
        host = authority.substr(0, close == std::string_view::npos ? authority.size() : close + 1);
    } else {
        host = authority.substr(0, authority.find(':'));
    }
    AbsoluteTarget result;
    result.host = std::string(host);
    result.path = path_start == std::string_view::npos ? std::string("/")
                                                       : std::string(rest.substr(path_start));
    return result;
}

std::string withoutLineBreaks(std::string_view value) {
    std::string clean;
    clean.reserve(value.size());
    for (char c : value)
        if (c != '\r' && c != '\n')
            clean += c;
    return clean;
}

std::optional<std::int64_t> streamSize(std::istream& stream) {
    stream.clear();
    stream.seekg(0, std::ios::end);
    const auto end = stream.tellg();
    stream.clear();
    stream.seekg(0, std::ios::beg);
    if (end < 0)
        return std::nullopt;
    return static_cast<std::int64_t>(end);
}

} // namespace

std::optional<std::string> HttpRequest::header(std::string_view name) const {
    for (const auto& line : header_lines) {
        const auto colon = line.find(':');
        if (colon == std::string::npos)
            continue;
        const std::string_view view(line);
        if (equalsIgnoringAsciiCase(trimmed(view.substr(0, colon)), name))
            return std::string(trimmed(view.substr(colon + 1)));
    }
    return std::nullopt;
}

std::string HttpRequest::param(std::string_view name) const {
    for (const auto& entry : params) {
        const std::string_view view(entry);
        const auto equals = view.find('=');
        if (equals == std::string_view::npos)
            continue;
        if (equalsIgnoringAsciiCase(view.substr(0, equals), name))
            return std::string(view.substr(equals + 1));
    }
    return {};
}

std::size_t HttpRequestParser::feed(std::string_view bytes) {
    std::size_t used = 0;
    while (used < bytes.size() && phase_ != Phase::Complete) {
        const auto rest = bytes.substr(used);
        if (phase_ == Phase::Body || phase_ == Phase::BodyToClose) {
            const std::size_t room = phase_ == Phase::Body
                                         ? body_expected_ - request_.body.size()
                                         : kHttpMaxBodyBytes + 1 - request_.body.size();
            const auto take = std::min(room, rest.size());
            request_.body.append(rest.substr(0, take));
            used += take;
            if (request_.body.size() > kHttpMaxBodyBytes)
                throw HttpRequestError("Request body too large.");
            if (phase_ == Phase::Body && request_.body.size() == body_expected_)
                finishRequest();
            continue;
        }
        const auto line_feed = rest.find('\n');
        const auto piece = rest.substr(0, line_feed);
        // One byte more than the limit may be the CR of a line of full length.
        if (line_.size() + piece.size() > kHttpMaxLineBytes + 1)
            throw HttpRequestError("Max line length exceeded.");
        line_.append(piece);
        if (line_feed == std::string_view::npos) {
            used = bytes.size();
            break;
        }
        used += line_feed + 1;
        if (!line_.empty() && line_.back() == '\r')
            line_.pop_back();
        if (line_.size() > kHttpMaxLineBytes)
            throw HttpRequestError("Max line length exceeded.");
        const std::string line = std::move(line_);
        line_.clear();
        takeLine(line);
    }
    return used;
}

void HttpRequestParser::finishInput() {
    if (phase_ == Phase::Complete)
        return;
    if (phase_ != Phase::BodyToClose)
        throw HttpRequestError("Connection closed before the request was complete.");
    finishRequest();
}

void HttpRequestParser::takeLine(std::string_view line) {
    if (phase_ == Phase::RequestLine)
        takeRequestLine(line);
    else if (line.empty())
        endOfHeaders();
    else
        takeHeaderLine(line);
}

void HttpRequestParser::takeRequestLine(std::string_view line) {
    request_.raw_request_line = std::string(line);
    const auto last_space = line.rfind(' ');
    if (last_space == std::string_view::npos)
        throw HttpRequestError("Error in parsing command.");
    request_.version = std::string(line.substr(last_space + 1));
    const auto before = line.substr(0, last_space);
    const auto first_space = before.find(' ');
    const auto method = before.substr(0, first_space);
    request_.command.resize(method.size());
    std::transform(method.begin(), method.end(), request_.command.begin(), asciiUpper);
    if (first_space != std::string_view::npos)
        request_.target = std::string(before.substr(first_space + 1));
    if (!isServedMethod(request_.command))
        throw HttpRequestError("Unsupported request method.");
    phase_ = Phase::Headers;
}

void HttpRequestParser::takeHeaderLine(std::string_view line) {
    header_bytes_ += line.size();
    if (request_.header_lines.size() >= kHttpMaxHeaderCount)
        throw HttpRequestError("Too many header lines.");
    if (header_bytes_ > kHttpMaxHeaderBytes)
        throw HttpRequestError("Request header too large.");
    request_.header_lines.emplace_back(line);
}

void HttpRequestParser::endOfHeaders() {
    if (const auto length = request_.header("Content-Length")) {
        request_.content_length = parseContentLength(*length);
        body_expected_ = static_cast<std::size_t>(*request_.content_length);
    }
    if (body_expected_ > 0) {
        request_.body.reserve(body_expected_);
        phase_ = Phase::Body;
    } else if (!request_.content_length && request_.command == "POST") {
        phase_ = Phase::BodyToClose;
    } else {
        finishRequest();
    }
}

void HttpRequestParser::finishRequest() {
    HttpRequest& r = request_;
    r.content_type = r.header("Content-Type").value_or(std::string());

    std::string_view target(r.target);
    const auto question = target.find('?');
    auto path = target.substr(0, question);
    if (question != std::string_view::npos)
        r.query_text = std::string(target.substr(question + 1));

    std::string content_type_lower(r.content_type);
    std::transform(content_type_lower.begin(), content_type_lower.end(), content_type_lower.begin(),
                   asciiLower);
    std::string param_text = r.query_text;
    if (content_type_lower == kFormContentType) {
        if (!param_text.empty() && !r.body.empty())
            param_text += "\r\n";
        param_text += r.body;
    }
    r.params = splitParams(param_text);

    const auto absolute = splitAbsoluteTarget(path);
    if (absolute)
        path = absolute->path;
    if (path == "*") {
        r.document = "*";
    } else {
        // The folder part keeps its last "/"; both parts are decoded apart.
        const auto last_slash = path.rfind('/');
        const auto folder_end = last_slash == std::string_view::npos ? 0 : last_slash + 1;
        r.document = urlDecode(path.substr(0, folder_end)) + urlDecode(path.substr(folder_end));
    }
    if (const auto host = r.header("Host"))
        r.host = *host;
    else if (absolute)
        r.host = absolute->host;

    const auto authorization = r.header("Authorization");
    if (authorization && !authorization->empty()) {
        r.credentials_present = true;
        const std::string_view value(*authorization);
        const auto space = value.find(' ');
        if (!equalsIgnoringAsciiCase(value.substr(0, space), "Basic"))
            throw HttpRequestError("Unsupported authorization scheme.");
        const auto decoded = base64Decode(
            space == std::string_view::npos ? std::string_view() : trimmed(value.substr(space)));
        const auto colon = decoded.find(':');
        r.user_name = decoded.substr(0, colon);
        if (colon != std::string::npos)
            r.password = decoded.substr(colon + 1);
    }
    phase_ = Phase::Complete;
}

std::optional<HttpRequest> parseHttpRequest(std::string_view bytes, bool input_closed) {
    HttpRequestParser parser;
    parser.feed(bytes);
    if (!parser.complete() && input_closed)
        parser.finishInput();
    if (!parser.complete())
        return std::nullopt;
    return std::move(parser.request());
}

std::string urlDecode(std::string_view text) {
    std::string decoded;
    decoded.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const char c = text[i];
        if (c == '+') {
            decoded += ' ';
            ++i;
        } else if (c != '%') {
            decoded += c;
            ++i;
        } else {
            const int high = i + 1 < text.size() ? hexDigitValue(text[i + 1]) : -1;
            const int low = i + 2 < text.size() ? hexDigitValue(text[i + 2]) : -1;
            if (high >= 0 && low >= 0 && (high != 0 || low != 0))
                decoded += static_cast<char>(high * 16 + low);
            i = std::min(i + 3, text.size());
        }
    }
    return decoded;
}

std::string base64Decode(std::string_view text) {
    std::string decoded;
    std::uint32_t bits = 0;
    int bit_count = 0;
    for (char c : text) {
        if (c == '=')
            break;
        const int value = base64Value(c);
        if (value < 0)
            continue;
        bits = (bits << 6) | static_cast<std::uint32_t>(value);
        bit_count += 6;
        if (bit_count >= 8) {
            bit_count -= 8;
            decoded += static_cast<char>((bits >> bit_count) & 0xFF);
        }
    }
    return decoded;
}

std::vector<std::string> splitParams(std::string_view text) {
    std::vector<std::string> params;
    if (text.empty())
        return params;
    std::size_t start = 0;
    while (true) {
        const auto ampersand = text.find('&', start);
        params.push_back(urlDecode(text.substr(start, ampersand - start)));
        if (ampersand == std::string_view::npos)
            break;
        start = ampersand + 1;
    }
    return params;
}

std::string_view httpStatusText(int code) {
    switch (code) {
    case 100:
        return "Continue";
    case 200:
        return "OK";
    case 201:
        return "Created";
    case 202:
        return "Accepted";
    case 204:
        return "No Content";
    case 206:
        return "Partial Content";
    case 301:
        return "Moved Permanently";
    case 302:
        return "Found";
    case 303:
        return "See Other";
    case 304:
        return "Not Modified";
    case 307:
        return "Temporary Redirect";
    case 400:
        return "Bad Request";
    case 401:
        return "Unauthorized";
    case 403:
        return "Forbidden";
    case 404:
        return "Not Found";
    case 405:
        return "Method Not Allowed";
    case 408:
        return "Request Timeout";
    case 413:
        return "Payload Too Large";
    case 500:
        return "Internal Server Error";
    case 501:
        return "Not Implemented";
    case 503:
        return "Service Unavailable";
    default:
        return {};
    }
}

void HttpResponse::setStatusCode(int code) {
    status_code_ = code;
    status_text_ = std::string(httpStatusText(code));
}

std::string writeHttpResponseHead(HttpResponse& response) {
    if (!response.content_length) {
        if (!response.body_text.empty())
            response.content_length = static_cast<std::int64_t>(response.body_text.size());
        else if (response.body_stream)
            response.content_length = streamSize(*response.body_stream);
    }
    std::vector<std::pair<std::string_view, std::string>> fields;
    fields.emplace_back("Connection", "close");
    if (!response.content_type.empty())
        fields.emplace_back("Content-Type", response.content_type);
    // A challenge replaces the body, so a length computed for the old body
    // would be wrong; the challenge's body ends where the connection closes.
    if (response.content_length && response.realm.empty())
        fields.emplace_back("Content-Length", std::to_string(*response.content_length));
    if (!response.server_software.empty())
        fields.emplace_back("Server", response.server_software);
    if (!response.realm.empty()) {
        response.setStatusCode(kUnauthorized);
        fields.emplace_back("WWW-Authenticate", "Basic realm=\"" + response.realm + "\"");
        response.body_text = std::string(kChallengeBodyStart) + std::to_string(kUnauthorized) +
                             " " + response.statusText() + std::string(kChallengeBodyEnd);
    }
    std::string head = "HTTP/1.1 " + std::to_string(response.statusCode()) + " " +
                       withoutLineBreaks(response.statusText()) + "\r\n";
    for (const auto& [name, value] : fields) {
        head += name;
        head += ": ";
        head += withoutLineBreaks(value);
        head += "\r\n";
    }
    head += "\r\n";
    return head;
}

std::string httpResponseBody(HttpResponse& response) {
    if (!response.body_text.empty())
        return response.body_text;
    if (!response.body_stream)
        return {};
    auto& stream = *response.body_stream;
    stream.clear();
    stream.seekg(0, std::ios::beg);
    stream.clear();
    return std::string(std::istreambuf_iterator<char>(stream), std::istreambuf_iterator<char>());
}

} // namespace qeltv::web
