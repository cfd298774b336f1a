// The web server's request parser, decoders and response head writer, on
// bytes alone.
#include "web/HttpRequest.h"

#include <gtest/gtest.h>

#include <sstream>

using namespace qeltv::web;

namespace {

HttpRequest parse(std::string_view bytes, bool input_closed = false) {
    auto request = parseHttpRequest(bytes, input_closed);
    if (!request)
        throw std::runtime_error("request incomplete");
    return *request;
}

std::string parseError(std::string_view bytes, bool input_closed = false) {
    try {
        parseHttpRequest(bytes, input_closed);
    } catch (const HttpRequestError& error) {
        return error.what();
    }
    return "no error";
}

std::string headOf(HttpResponse& response) {
    return writeHttpResponseHead(response);
}

} // namespace

TEST(HttpRequestLine, VersionIsAfterTheLastSpaceAndMethodIsUpperCased) {
    const auto r = parse("get /a b.html HTTP/1.1\r\n\r\n");
    EXPECT_EQ(r.raw_request_line, "get /a b.html HTTP/1.1");
    EXPECT_EQ(r.command, "GET");
    EXPECT_EQ(r.target, "/a b.html");
    EXPECT_EQ(r.version, "HTTP/1.1");
    EXPECT_EQ(r.document, "/a b.html");
}

TEST(HttpRequestLine, OneSpaceTakesThePathAsVersion) {
    const auto r = parse("GET /index.html\n\n");
    EXPECT_EQ(r.version, "/index.html");
    EXPECT_EQ(r.target, "");
    EXPECT_EQ(r.document, "");
}

TEST(HttpRequestLine, MalformedOrUnservedLinesAreRefused) {
    EXPECT_EQ(parseError("GET\r\n\r\n"), "Error in parsing command.");
    // Refused as soon as the line is there: nothing after it is waited for.
    EXPECT_EQ(parseError("PUT /x HTTP/1.1\r\n"), "Unsupported request method.");
    EXPECT_EQ(parseError("OPTIONS * HTTP/1.1\r\n"), "Unsupported request method.");
    EXPECT_EQ(parseError(" GET / HTTP/1.1\r\n"), "Unsupported request method.");
    EXPECT_NO_THROW(parse("post / HTTP/1.0\r\nContent-Length: 0\r\n\r\n"));
    EXPECT_NO_THROW(parse("Head / HTTP/1.0\r\n\r\n"));
}

TEST(HttpRequestLine, OnlyOneCarriageReturnBeforeTheLineFeedIsDropped) {
    const auto r = parse("GET / HTTP/1.1\r\r\n\r\n");
    EXPECT_EQ(r.version, "HTTP/1.1\r");
}

// Guards the line bound: a line of exactly the limit passes, one byte more is
// refused, and a line is refused before its end arrives.
TEST(HttpRequestLimits, LineLengthIsBounded) {
    const std::string prefix = "GET /";
    const std::string suffix = " HTTP/1.1";
    const std::string fill(kHttpMaxLineBytes - prefix.size() - suffix.size(), 'a');
    EXPECT_NO_THROW(parse(prefix + fill + suffix + "\r\n\r\n"));
    EXPECT_EQ(parseError(prefix + fill + "a" + suffix + "\r\n\r\n"), "Max line length exceeded.");
    EXPECT_EQ(
        parseError("GET / HTTP/1.1\r\nX: " + std::string(kHttpMaxLineBytes, 'x') + "\r\n\r\n"),
        "Max line length exceeded.");

    HttpRequestParser parser;
    EXPECT_THROW(parser.feed(std::string(kHttpMaxLineBytes + 2, 'G')), HttpRequestError);
}

TEST(HttpRequestLimits, HeaderCountAndSizeAreBounded) {
    std::string many = "GET / HTTP/1.1\r\n";
    for (std::size_t i = 0; i < kHttpMaxHeaderCount; ++i)
        many += "X-" + std::to_string(i) + ": 1\r\n";
    EXPECT_NO_THROW(parse(many + "\r\n"));
    EXPECT_EQ(parseError(many + "X-last: 1\r\n\r\n"), "Too many header lines.");

    std::string large = "GET / HTTP/1.1\r\n";
    const std::string line = "X: " + std::string(kHttpMaxLineBytes - 3, 'v') + "\r\n";
    for (std::size_t i = 0; i * (kHttpMaxLineBytes) <= kHttpMaxHeaderBytes; ++i)
        large += line;
    EXPECT_EQ(parseError(large + "\r\n"), "Request header too large.");
}

TEST(HttpRequestHeaders, FoundByNameWithoutRegardToCase) {
    const auto r = parse("GET / HTTP/1.1\r\nhOsT:  tv.local:80 \r\nX-A: 1\r\nx-a: 2\r\n"
                         "content-type: text/plain\r\nNoColon\r\n\r\n");
    EXPECT_EQ(r.header("HOST").value(), "tv.local:80");
    EXPECT_EQ(r.host, "tv.local:80");
    EXPECT_EQ(r.header("X-A").value(), "1");
    EXPECT_EQ(r.content_type, "text/plain");
    EXPECT_FALSE(r.header("NoColon").has_value());
    EXPECT_EQ(r.header_lines.size(), 5u);
    EXPECT_EQ(r.header_lines[0], "hOsT:  tv.local:80 ");
}

TEST(HttpRequestBody, ContentLengthReadsExactlyThatManyBytes) {
    HttpRequestParser parser;
    const std::string bytes =
        "POST /x HTTP/1.1\r\nContent-Length: 3\r\n\r\nabcGET / HTTP/1.1\r\n\r\n";
    EXPECT_EQ(parser.feed(bytes), bytes.find("GET"));
    ASSERT_TRUE(parser.complete());
    EXPECT_EQ(parser.request().body, "abc");
    EXPECT_EQ(parser.request().content_length, 3);
}

TEST(HttpRequestBody, PostWithoutContentLengthIsReadToTheClientsClose) {
    EXPECT_FALSE(parseHttpRequest("POST / HTTP/1.1\r\n\r\nsome", false).has_value());
    EXPECT_EQ(parse("POST / HTTP/1.1\r\n\r\nsome body", true).body, "some body");
    // GET and HEAD without Content-Length, and any request with 0, have none.
    EXPECT_EQ(parse("GET / HTTP/1.1\r\n\r\nignored").body, "");
    EXPECT_EQ(parse("POST / HTTP/1.1\r\nContent-Length: 0\r\n\r\nignored").body, "");
}

// Guards the body bound and the refusal of a Content-Length that is no count.
TEST(HttpRequestBody, LengthIsCheckedAndBounded) {
    EXPECT_EQ(parseError("POST / HTTP/1.1\r\nContent-Length: -4\r\n\r\n"),
              "Invalid Content-Length.");
    EXPECT_EQ(parseError("POST / HTTP/1.1\r\nContent-Length: 12abc\r\n\r\n"),
              "Invalid Content-Length.");
    EXPECT_EQ(parseError("GET / HTTP/1.1\r\nContent-Length:\r\n\r\n"), "Invalid Content-Length.");
    EXPECT_EQ(parseError("POST / HTTP/1.1\r\nContent-Length: 99999999999999999999999\r\n\r\n"),
              "Request body too large.");
    EXPECT_EQ(parseError("POST / HTTP/1.1\r\nContent-Length: " +
                         std::to_string(kHttpMaxBodyBytes + 1) + "\r\n\r\n"),
              "Request body too large.");
    EXPECT_EQ(parseError("POST / HTTP/1.1\r\n\r\n" + std::string(kHttpMaxBodyBytes + 1, 'b')),
              "Request body too large.");
    EXPECT_EQ(
        parse("POST / HTTP/1.1\r\n\r\n" + std::string(kHttpMaxBodyBytes, 'b'), true).body.size(),
        kHttpMaxBodyBytes);
}

TEST(HttpRequestBody, ClosedBeforeCompleteIsAnError) {
    EXPECT_EQ(parseError("GET / HTTP/1.1\r\nHost: x\r\n", true),
              "Connection closed before the request was complete.");
    EXPECT_EQ(parseError("POST / HTTP/1.1\r\nContent-Length: 5\r\n\r\nab", true),
              "Connection closed before the request was complete.");
}

TEST(HttpRequestParams, SplitAtEveryAmpersandAndDecoded) {
    EXPECT_EQ(parse("GET /index.html?action=nextchannel& HTTP/1.1\r\n\r\n").params,
              (std::vector<std::string>{"action=nextchannel", ""}));
    EXPECT_EQ(parse("GET /?a+b=%41 HTTP/1.1\r\n\r\n").params, (std::vector<std::string>{"a b=A"}));
    EXPECT_EQ(parse("GET /?&& HTTP/1.1\r\n\r\n").params, (std::vector<std::string>{"", "", ""}));
    EXPECT_TRUE(parse("GET /? HTTP/1.1\r\n\r\n").params.empty());
    const auto r = parse("GET /x?a=1?b=2 HTTP/1.1\r\n\r\n");
    EXPECT_EQ(r.query_text, "a=1?b=2");
    EXPECT_EQ(r.document, "/x");
}

TEST(HttpRequestParams, FormBodyIsJoinedToTheQuery) {
    const std::string form = "Content-Type: Application/X-WWW-Form-UrlEncoded\r\n";
    EXPECT_EQ(parse("POST /?q=1 HTTP/1.1\r\n" + form + "Content-Length: 7\r\n\r\nb=2&c=3").params,
              (std::vector<std::string>{"q=1\r\nb=2", "c=3"}));
    EXPECT_EQ(parse("POST / HTTP/1.1\r\n" + form + "Content-Length: 3\r\n\r\nb=2").params,
              (std::vector<std::string>{"b=2"}));
    EXPECT_EQ(parse("POST /?q=1 HTTP/1.1\r\n" + form + "Content-Length: 0\r\n\r\n").params,
              (std::vector<std::string>{"q=1"}));
    // Any other content type leaves the body out.
    EXPECT_EQ(
        parse("POST /?q=1 HTTP/1.1\r\nContent-Type: text/plain\r\nContent-Length: 3\r\n\r\nb=2")
            .params,
        (std::vector<std::string>{"q=1"}));
}

TEST(HttpRequestParams, FirstParameterOfANameWithoutRegardToCase) {
    const auto r = parse("GET /?x&ACTION=nextchannel&action=firstchannel HTTP/1.1\r\n\r\n");
    EXPECT_EQ(r.param("Action"), "nextchannel");
    EXPECT_EQ(r.param("missing"), "");
}

TEST(HttpDecoding, UrlEscapes) {
    EXPECT_EQ(urlDecode("%41%4a%4A+%2B"), "AJJ +");
    // Malformed escapes and the zero byte are dropped with the two characters
    // after the "%".
    EXPECT_EQ(urlDecode("a%zzb"), "ab");
    EXPECT_EQ(urlDecode("a%00b"), "ab");
    EXPECT_EQ(urlDecode("a%4%41"), "a41");
    EXPECT_EQ(urlDecode("a%4"), "a");
    EXPECT_EQ(urlDecode("a%"), "a");
    EXPECT_EQ(urlDecode("%ff"), "\xff");
}

TEST(HttpDecoding, Base64) {
    EXPECT_EQ(base64Decode("dXNlcjpwYTpzcw=="), "user:pa:ss");
    EXPECT_EQ(base64Decode("dXNlcg"), "user");
    EXPECT_EQ(base64Decode("dX Nl\tcg=="), "user");
    EXPECT_EQ(base64Decode("+/+/"), "\xfb\xff\xbf");
    EXPECT_EQ(base64Decode(""), "");
}

TEST(HttpRequestDocument, DecodedFolderAndNameApart) {
    EXPECT_EQ(parse("GET /my%20folder/a+b%2Ehtml HTTP/1.1\r\n\r\n").document,
              "/my folder/a b.html");
    EXPECT_EQ(parse("GET * HTTP/1.1\r\n\r\n").document, "*");
    // The escape at the end of the folder part cannot swallow the name.
    EXPECT_EQ(parse("GET /a%/b HTTP/1.1\r\n\r\n").document, "/ab");
}

TEST(HttpRequestDocument, AbsoluteTargetGivesPathAndHost) {
    const auto r = parse("GET http://user@tv.local:8080/x/y.html?action=a HTTP/1.1\r\n\r\n");
    EXPECT_EQ(r.document, "/x/y.html");
    EXPECT_EQ(r.host, "tv.local");
    EXPECT_EQ(r.params, (std::vector<std::string>{"action=a"}));
    EXPECT_EQ(parse("GET http://tv.local HTTP/1.1\r\n\r\n").document, "/");
    // The Host header wins over the target's host.
    EXPECT_EQ(parse("GET http://tv.local/ HTTP/1.1\r\nHost: other\r\n\r\n").host, "other");
    EXPECT_EQ(parse("GET /x HTTP/1.1\r\n\r\n").host, "");
}

TEST(HttpRequestCredentials, BasicUserBeforeTheFirstColon) {
    auto r = parse("GET / HTTP/1.1\r\nAuthorization: Basic dXNlcjpwYTpzcw==\r\n\r\n");
    EXPECT_TRUE(r.credentials_present);
    EXPECT_EQ(r.user_name, "user");
    EXPECT_EQ(r.password, "pa:ss");

    r = parse("GET / HTTP/1.1\r\nauthorization: bAsIc dXNlcg==\r\n\r\n");
    EXPECT_EQ(r.user_name, "user");
    EXPECT_EQ(r.password, "");

    r = parse("GET / HTTP/1.1\r\nAuthorization: Basic\r\n\r\n");
    EXPECT_TRUE(r.credentials_present);
    EXPECT_EQ(r.user_name, "");

    r = parse("GET / HTTP/1.1\r\nAuthorization:   \r\n\r\n");
    EXPECT_FALSE(r.credentials_present);

    EXPECT_EQ(parseError("GET / HTTP/1.1\r\nAuthorization: Digest username=\"u\"\r\n\r\n"),
              "Unsupported authorization scheme.");
    EXPECT_EQ(parseError("GET / HTTP/1.1\r\nAuthorization: Basicx dXNlcg==\r\n\r\n"),
              "Unsupported authorization scheme.");
}

// Guards the incremental reading: any split of the bytes gives the request
// that the whole gives.
TEST(HttpRequestParser, ByteByByteEqualsWhole) {
    const std::string bytes = "POST /a%20b?x=1 HTTP/1.1\r\nHost: h\r\nContent-Length: 4\r\n"
                              "Authorization: Basic dTpw\r\n\r\nbodyREST";
    const auto whole = parse(bytes);
    HttpRequestParser parser;
    std::size_t used = 0;
    for (char c : bytes)
        used += parser.feed(std::string_view(&c, 1));
    ASSERT_TRUE(parser.complete());
    EXPECT_EQ(used, bytes.size() - 4);
    const auto& r = parser.request();
    EXPECT_EQ(r.document, whole.document);
    EXPECT_EQ(r.body, "body");
    EXPECT_EQ(r.user_name, "u");
    EXPECT_EQ(r.password, "p");
    EXPECT_EQ(r.host, "h");
    EXPECT_EQ(r.params, whole.params);
}

TEST(HttpResponseHead, InitialValuesAndLineOrder) {
    HttpResponse response;
    EXPECT_EQ(response.statusCode(), 200);
    EXPECT_EQ(response.statusText(), "OK");
    response.body_text = "hello";
    EXPECT_EQ(headOf(response),
              "HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Type: text/html\r\n"
              "Content-Length: 5\r\nServer: qELTV-HTTP/1.0\r\n\r\n");
    EXPECT_EQ(httpResponseBody(response), "hello");
}

TEST(HttpResponseHead, NotFoundWithAndWithoutBodyStream) {
    HttpResponse plain;
    plain.setStatusCode(404);
    EXPECT_EQ(headOf(plain), "HTTP/1.1 404 Not Found\r\nConnection: close\r\nContent-Type: "
                             "text/html\r\nServer: qELTV-HTTP/1.0\r\n\r\n");
    EXPECT_EQ(httpResponseBody(plain), "");

    HttpResponse picture;
    picture.setStatusCode(404);
    picture.content_type = "image/jpeg";
    picture.body_stream = std::make_unique<std::stringstream>();
    EXPECT_EQ(headOf(picture), "HTTP/1.1 404 Not Found\r\nConnection: close\r\nContent-Type: "
                               "image/jpeg\r\nContent-Length: 0\r\nServer: qELTV-HTTP/1.0\r\n\r\n");
}

TEST(HttpResponseHead, StreamIsSentFromItsStart) {
    HttpResponse response;
    auto stream = std::make_unique<std::stringstream>();
    *stream << "JPEGDATA"; // the write leaves the position at the end
    response.body_stream = std::move(stream);
    EXPECT_NE(headOf(response).find("\r\nContent-Length: 8\r\n"), std::string::npos);
    EXPECT_EQ(httpResponseBody(response), "JPEGDATA");
    // Body text wins over the stream.
    response.body_text = "text";
    EXPECT_EQ(httpResponseBody(response), "text");
}

TEST(HttpResponseHead, ChallengeHasNoContentLength) {
    HttpResponse response;
    response.realm = "qEL TV";
    response.setStatusCode(401);
    EXPECT_EQ(headOf(response), "HTTP/1.1 401 Unauthorized\r\nConnection: close\r\nContent-Type: "
                                "text/html\r\nServer: qELTV-HTTP/1.0\r\nWWW-Authenticate: Basic "
                                "realm=\"qEL TV\"\r\n\r\n");
    EXPECT_EQ(httpResponseBody(response), "<HTML><BODY><B>401 Unauthorized</B></BODY></HTML>");

    // Guards the framing: a length computed for a body that the challenge
    // replaces is never sent.
    HttpResponse with_body;
    with_body.body_text = "page";
    with_body.realm = "qEL TV";
    EXPECT_EQ(headOf(with_body).find("Content-Length"), std::string::npos);
    EXPECT_EQ(with_body.statusCode(), 401);
}

// Guards header injection: values never carry CR or LF.
TEST(HttpResponseHead, ValuesLoseLineBreaks) {
    HttpResponse response;
    response.content_type = "text/html\r\nSet-Cookie: a=b";
    response.realm = "x\n\"";
    response.server_software = "s\r";
    EXPECT_EQ(headOf(response), "HTTP/1.1 401 Unauthorized\r\nConnection: close\r\nContent-Type: "
                                "text/htmlSet-Cookie: a=b\r\nServer: s\r\nWWW-Authenticate: Basic "
                                "realm=\"x\"\"\r\n\r\n");
}
