// The request parser and the response texts, without sockets.
#include <gtest/gtest.h>

#include "app/helpers.h"
#include "net/http_request.h"
#include "net/http_response.h"

namespace velmora::net {
namespace {

TEST(HttpRequestLine, CutAtFirstLineEndAndAtTheLimit) {
  EXPECT_EQ(RequestLine("GET /a HTTP/1.0\r\nHost: x\r\n\r\n"), "GET /a HTTP/1.0");
  EXPECT_EQ(RequestLine("GET /a\nrest"), "GET /a");
  EXPECT_EQ(RequestLine("GET /a\rrest"), "GET /a");
  EXPECT_FALSE(RequestLineComplete("GET /partial"));
  EXPECT_TRUE(RequestLineComplete("GET /partial\r"));

  // A line end beyond 1,024 bytes is not looked for: the line is cut there.
  const std::string longLine = "GET /" + std::string(2000, 'a') + "\r\n";
  EXPECT_EQ(RequestLine(longLine).size(), kRequestLineLimit);
  EXPECT_TRUE(RequestLineComplete(std::string(kRequestLineLimit, 'a')));
}

TEST(HttpRequestLine, OnlyGetHasAPath) {
  EXPECT_EQ(GetRequestPath("GET /nvr.xml HTTP/1.0").value(), "/nvr.xml");
  EXPECT_EQ(GetRequestPath("GET /no-version").value(), "/no-version");
  EXPECT_EQ(GetRequestPath("GET ").value(), "");
  EXPECT_FALSE(GetRequestPath("POST /nvr.xml HTTP/1.0"));
  EXPECT_FALSE(GetRequestPath("get /nvr.xml HTTP/1.0"));
  EXPECT_FALSE(GetRequestPath("GET"));
  EXPECT_FALSE(GetRequestPath(""));
}

TEST(HttpCanonicalPath, DecodesOnceAndRefusesBadInput) {
  EXPECT_EQ(CanonicalizePath("/Back%20Yard/Door/image.jpg").value(), "/Back Yard/Door/image.jpg");
  EXPECT_EQ(CanonicalizePath("/%C3%A9t%C3%A9").value(), "/\xC3\xA9t\xC3\xA9");
  // Double encoding decodes one level only.
  EXPECT_EQ(CanonicalizePath("/%252e%252e/x").value(), "/%2e%2e/x");
  EXPECT_FALSE(CanonicalizePath("relative/path"));
  EXPECT_FALSE(CanonicalizePath(""));
  EXPECT_FALSE(CanonicalizePath("/bad%zzescape"));
  EXPECT_FALSE(CanonicalizePath("/cut%2"));
  EXPECT_FALSE(CanonicalizePath("/cut%"));
  EXPECT_FALSE(CanonicalizePath("/nul%00byte"));
  EXPECT_TRUE(CanonicalizePath("/" + std::string(kMaxCanonicalPath - 1, 'a')));
  EXPECT_FALSE(CanonicalizePath("/" + std::string(kMaxCanonicalPath, 'a')));
}

TEST(HttpTarget, SplitsFolderAndNameWithQuery) {
  auto target = SplitTarget("/Yard/Door/vljpeg?file=26120814.vlj&offset=0");
  ASSERT_TRUE(target);
  EXPECT_EQ(target->folder, "Yard/Door");
  EXPECT_EQ(target->name, "vljpeg?file=26120814.vlj&offset=0");
  target = SplitTarget("/x.vlx");
  ASSERT_TRUE(target);
  EXPECT_EQ(target->folder, "");
  EXPECT_EQ(target->name, "x.vlx");
}

TEST(HttpTarget, RefusesDotStepsSeparatorsAndEmptyNames) {
  // Each as it is after one decoding step; the whole route is tried on real files in
  // the handler tests.
  for (const char* path : {"/Yard/../../etc/passwd", "/Yard/./Door/image.jpg", "/Yard//Door/image.jpg",
                           "/Yard/Door/", "/Yard\\..\\x/image.jpg", "/Yard/Door/a..b", "/"}) {
    EXPECT_FALSE(SplitTarget(path)) << path;
  }
  EXPECT_FALSE(IsPlainFileName(".."));
  EXPECT_FALSE(IsPlainFileName("..\\x"));
  EXPECT_FALSE(IsPlainFileName(std::string("a\0b", 3)));
  EXPECT_TRUE(IsPlainFileName("26120814.vlj"));
}

TEST(HttpQuery, FileAndOffsetAsTheRemoteReaderSendsThem) {
  RecordQuery q = ParseRecordQuery("vljpeg?file=26120814.vlj&offset=-4");
  EXPECT_EQ(q.file, "26120814.vlj");
  EXPECT_EQ(q.offset, -4);
  // Other keys are ignored, the order does not matter, a missing offset is 0.
  q = ParseRecordQuery("header?x=1&offset=123&file=a.vlj&y");
  EXPECT_EQ(q.file, "a.vlj");
  EXPECT_EQ(q.offset, 123);
  q = ParseRecordQuery("footer?file=b.vlj");
  EXPECT_EQ(q.offset, 0);
  // Offsets beyond 32 bits reach records of large files.
  EXPECT_EQ(ParseRecordQuery("vljpeg?file=a&offset=5000000000").offset, 5000000000LL);
}

TEST(HttpQuery, FieldLimitsAndNumbers) {
  // A key longer than 32 characters drops its piece; a value keeps 32 characters.
  const std::string longKey(33, 'k');
  EXPECT_EQ(ParseRecordQuery("vljpeg?" + longKey + "=1&file=z").file, "z");
  EXPECT_EQ(ParseRecordQuery("vljpeg?file=" + std::string(40, 'f')).file, std::string(32, 'f'));
  EXPECT_EQ(ParseRecordQuery("vljpeg?=x&file=").file, "");
  EXPECT_EQ(ParseRecordQuery("vljpeg?file=a b").file, "a");

  EXPECT_EQ(ParseDecimal("12abc"), 12);
  EXPECT_EQ(ParseDecimal("abc"), 0);
  EXPECT_EQ(ParseDecimal("-"), 0);
  EXPECT_EQ(ParseDecimal("+7"), 7);
  EXPECT_EQ(ParseDecimal("99999999999999999999999"), INT64_MAX);
  EXPECT_EQ(ParseDecimal("-99999999999999999999999"), INT64_MIN);
  EXPECT_EQ(ParseDecimal("-9223372036854775808"), INT64_MIN);
}

TEST(HttpAuthorization, BasicCredentialsAreChecked) {
  const std::string good = "GET / HTTP/1.0\r\nHost: a\r\nauthorization:  Basic " +
                           Base64Encode("viewer:s3cret") + "\r\n\r\n";
  EXPECT_TRUE(BasicAuthMatches(good, "viewer", "s3cret"));
  EXPECT_FALSE(BasicAuthMatches(good, "viewer", "s3cre"));
  EXPECT_FALSE(BasicAuthMatches(good, "viewer", "s3cret!"));
  EXPECT_FALSE(BasicAuthMatches("GET / HTTP/1.0\r\n\r\n", "viewer", "s3cret"));
  EXPECT_FALSE(BasicAuthMatches("GET / HTTP/1.0\r\nAuthorization: Digest abc\r\n\r\n", "viewer", "s3cret"));
  // A header after the blank line belongs to no request.
  EXPECT_FALSE(BasicAuthMatches("GET / HTTP/1.0\r\n\r\nAuthorization: Basic " + Base64Encode("viewer:s3cret"),
                                "viewer", "s3cret"));
  EXPECT_TRUE(HeaderBlockComplete("GET / HTTP/1.0\r\n\r\n"));
  EXPECT_FALSE(HeaderBlockComplete("GET / HTTP/1.0\r\nHost: a\r\n"));
}

TEST(HttpResponseText, HeaderBlockLineByLine) {
  // 2026-12-08 14:05:09 UTC is a Tuesday.
  const std::string header = ResponseHeader(200, kTypeXml, 42, 1796738709);
  EXPECT_EQ(header,
            "HTTP/1.0 200 OK\r\n"
            "Date: Tue, 08 Dec 2026 14:05:09 GMT\r\n"
            "Expires: Wed, 09 Dec 2026 14:05:09 GMT\r\n"
            "Content-Type: text/xml\r\n"
            "Content-Length: 42\r\n"
            "\r\n");
  EXPECT_EQ(ResponseHeader(404, kTypeHtml, 1, 0).substr(0, 24), "HTTP/1.0 404 Not Found\r\n");
  EXPECT_NE(ResponseHeader(401, kTypeHtml, 1, 0, AuthenticateLine()).find("WWW-Authenticate: Basic"),
            std::string::npos);
}

TEST(HttpResponseText, TheNotFoundPageCarriesNoMarkupFromTheRequest) {
  const std::string page = NotFoundPage("/<script>x</script>");
  EXPECT_EQ(page.find("<script>"), std::string::npos);
  EXPECT_NE(page.find("The requested URL /&lt;script&gt;"), std::string::npos);
  EXPECT_EQ(EscapeLinkPath("Yard\\Door #1 100%"), "Yard/Door%20%231%20100%25");
  EXPECT_EQ(LogSafe("a\r\nb"), "a??b");
}

}  // namespace
}  // namespace velmora::net
