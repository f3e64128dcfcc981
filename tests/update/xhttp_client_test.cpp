// XHttpClient against the local server: what goes out on the wire and what comes back.
#include "local_server.h"
#include "xhttp_client.h"

#include "common/text_encoding.h"

#include <vector>

namespace {

const std::string kBoundary = "----------Ef1gL6Ef1ae0cH2ei4ei4KM7Ij5gL6";

class XHttpClientTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        REQUIRE_SERVER();
        ASSERT_TRUE(client.Open(u"Mozilla/4.0 (compatible; )"));
    }
    const LocalServer& server = LocalServer::Get();
    XHttpClient client;

    // The body part of the last request the server logged.
    std::string LastBody() const
    {
        const std::string raw = server.LastRequest();
        const auto end = raw.find("\r\n\r\n");
        return end == std::string::npos ? std::string() : raw.substr(end + 4);
    }
};

TEST_F(XHttpClientTest, GetSendsThePathWithItsQueryAndTheFixedHeaders)
{
    ASSERT_TRUE(client.OpenUrl(server.Url("/echo/page?a=1&b=x%20y#frag").c_str()));
    EXPECT_EQ(client.Path(), u"/echo/page?a=1&b=x%20y#frag");
    EXPECT_EQ(client.Host(), u"127.0.0.1");
    EXPECT_EQ(client.Scheme(), INTERNET_SCHEME_HTTP);
    ASSERT_TRUE(client.SendRequest(RequestKind::Get));
    EXPECT_EQ(client.GetStatusCode(), 200);

    const std::string request = server.LastRequest();
    EXPECT_EQ(request.rfind("GET /echo/page?a=1&b=x%20y HTTP/1.1\r\n", 0), 0u) << request;
    EXPECT_NE(request.find("\r\nAccept: */*\r\n"), std::string::npos);
    EXPECT_NE(request.find("\r\nUser-Agent: Mozilla/4.0 (compatible; )\r\n"), std::string::npos);
    EXPECT_NE(request.find("\r\nPragma: no-cache\r\n"), std::string::npos);
    EXPECT_NE(request.find("\r\nCache-Control: no-cache\r\n"), std::string::npos);
    EXPECT_EQ(request.find("Content-Type"), std::string::npos);

    // The body is the request itself, Content-Length bytes of it.
    const int64_t length = client.GetContentLength();
    EXPECT_EQ(length, static_cast<int64_t>(request.size()));
    EXPECT_EQ(WideToUtf8(client.ReadText(CP_UTF8)), request);
}

TEST_F(XHttpClientTest, ErrorStatusIsAnAnswerNotAFailure)
{
    ASSERT_TRUE(client.OpenUrl(server.Url("/no/such/file").c_str()));
    ASSERT_TRUE(client.SendRequest(RequestKind::Get));
    EXPECT_EQ(client.GetStatusCode(), 404);
    EXPECT_EQ(client.LastError(), 0u);
    // The same connection serves the next request.
    server.Put("here.txt", "present");
    ASSERT_TRUE(client.SendRequest(RequestKind::Get, u"/here.txt"));
    EXPECT_EQ(client.GetStatusCode(), 200);
    EXPECT_EQ(WideToUtf8(client.ReadText(CP_UTF8)), "present");
}

TEST_F(XHttpClientTest, BodyWithoutContentLengthIsReadToItsEnd)
{
    const std::string content(100000, 'z');
    server.Put("big.bin", content);
    ASSERT_TRUE(client.OpenUrl(server.Url("/nolength/big.bin").c_str()));
    ASSERT_TRUE(client.SendRequest(RequestKind::Get));
    EXPECT_EQ(client.GetContentLength(), 0);
    EXPECT_EQ(client.QueryHeader(WINHTTP_QUERY_CONTENT_LENGTH), u"");
    EXPECT_EQ(client.LastError(), static_cast<DWORD>(ERROR_WINHTTP_HEADER_NOT_FOUND));

    std::string body;
    char buffer[7000];
    DWORD read = 0;
    while (client.ReadData(buffer, sizeof(buffer), read) && read > 0)
        body.append(buffer, read);
    EXPECT_EQ(read, 0u);
    EXPECT_EQ(body, content);
}

TEST_F(XHttpClientTest, UrlsOtherThanHttpAreRefused)
{
    EXPECT_FALSE(client.OpenUrl(u"ftp://127.0.0.1/file"));
    EXPECT_EQ(client.LastError(), 0u);
    EXPECT_FALSE(client.OpenUrl(u"gopher://127.0.0.1/file"));
    EXPECT_EQ(client.LastError(), static_cast<DWORD>(ERROR_WINHTTP_UNRECOGNIZED_SCHEME));
    EXPECT_FALSE(client.OpenUrl(u"http://127.0.0.1:99999/"));
    EXPECT_EQ(client.LastError(), static_cast<DWORD>(ERROR_WINHTTP_INVALID_URL));
}

TEST_F(XHttpClientTest, RequestsNeedAConnectionAndAKnownKind)
{
    const size_t before = server.RequestCount();
    EXPECT_FALSE(client.SendRequest(RequestKind::Get, u"/echo"));
    EXPECT_EQ(client.LastError(), 0u);
    ASSERT_TRUE(client.OpenUrl(server.Url("/echo").c_str()));
    EXPECT_FALSE(client.SendRequest(static_cast<RequestKind>(4)));
    EXPECT_FALSE(client.SendRequest(RequestKind::PostFile)); // no upload file
    EXPECT_EQ(client.LastError(), 0u);
    EXPECT_EQ(server.RequestCount(), before);
}

TEST_F(XHttpClientTest, ServerThatIsNotThereFailsWithCannotConnect)
{
    ASSERT_TRUE(client.OpenUrl(u"http://127.0.0.1:1/"));
    EXPECT_FALSE(client.SendRequest(RequestKind::Get));
    EXPECT_EQ(client.LastError(), static_cast<DWORD>(ERROR_WINHTTP_CANNOT_CONNECT));
    EXPECT_EQ(client.GetStatusCode(), 0);
}

TEST_F(XHttpClientTest, SetCookieHeadersComeOneAfterAnother)
{
    ASSERT_TRUE(client.OpenUrl(server.Url("/cookies").c_str()));
    ASSERT_TRUE(client.SendRequest(RequestKind::Get));
    DWORD index = 0;
    EXPECT_EQ(client.GetSetCookie(index), u"a=1");
    EXPECT_EQ(index, 1u);
    EXPECT_EQ(client.GetSetCookie(index), u"b=2");
    EXPECT_EQ(client.GetSetCookie(index), u"");
    EXPECT_EQ(index, 2u);
    EXPECT_EQ(client.LastError(), static_cast<DWORD>(ERROR_WINHTTP_HEADER_NOT_FOUND));
}

TEST_F(XHttpClientTest, PostFormSendsTheFieldsUnescaped)
{
    ASSERT_TRUE(client.OpenUrl(server.Url("/echo").c_str()));
    ASSERT_TRUE(client.SendRequest(RequestKind::PostForm));
    std::string request = server.LastRequest();
    EXPECT_EQ(request.rfind("POST /echo HTTP/1.1\r\n", 0), 0u);
    EXPECT_NE(request.find("\r\nContent-Type: application/x-www-form-urlencoded\r\n"),
              std::string::npos);
    EXPECT_NE(request.find("\r\nContent-Length: 0\r\n"), std::string::npos);
    EXPECT_EQ(LastBody(), "");

    client.AddFormField(u"name", u"a&b=c");
    client.AddFormField(u"城市", u"北京");
    client.AddFormField(u"empty", u"");
    ASSERT_TRUE(client.SendRequest(RequestKind::PostForm));
    EXPECT_EQ(LastBody(), "name=a&b=c&城市=北京&empty=");
    EXPECT_EQ(client.GetStatusCode(), 200);
}

TEST_F(XHttpClientTest, PostMultipartBodyAndLengthAreExact)
{
    const std::u16string longValue(20000, u'v'); // far beyond one part's 8192 bytes
    client.AddFormField(u"a", u"1");
    client.AddFormField(u"long", longValue);
    client.AddHeader(u"X-Extra: yes\r\n", WINHTTP_ADDREQ_FLAG_ADD);
    ASSERT_TRUE(client.OpenUrl(server.Url("/echo").c_str()));
    ASSERT_TRUE(client.SendRequest(RequestKind::PostMultipart));

    const std::string expected = "--" + kBoundary +
                                 "\r\nContent-Disposition: form-data; name=\"a\"\r\n\r\n1\r\n"
                                 "--" +
                                 kBoundary +
                                 "\r\nContent-Disposition: form-data; name=\"long\"\r\n\r\n" +
                                 std::string(20000, 'v') + "\r\n--" + kBoundary + "--\r\n";
    EXPECT_TRUE(LastBody() == expected) << LastBody().size() << " bytes";
    const std::string request = server.LastRequest();
    EXPECT_NE(request.find("\r\nContent-Type: multipart/form-data; boundary=" + kBoundary + "\r\n"),
              std::string::npos);
    EXPECT_NE(request.find("\r\nContent-Length: " + std::to_string(expected.size()) + "\r\n"),
              std::string::npos);
    EXPECT_NE(request.find("\r\nX-Extra: yes\r\n"), std::string::npos);
}

class XHttpUploadTest : public XHttpClientTest {
protected:
    void SetUp() override
    {
        XHttpClientTest::SetUp();
        if (IsSkipped())
            return;
        char dir[] = "/tmp/lockbin-upload-XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        folder = dir;
        // 80000 bytes: three chunks of the client's 32768-byte transfer buffer.
        for (int i = 0; i < 80000; ++i)
            content += static_cast<char>('a' + i % 26);
        std::ofstream(folder + "/报告.bin", std::ios::binary) << content;
        // The client takes DOS paths; C: is the host's root.
        dosPath = u"C:" + Utf8ToWide(folder) + u"\\报告.bin";
        for (char16_t& c : dosPath) {
            if (c == u'/')
                c = u'\\';
        }
        client.SetUploadFile(dosPath);
    }
    void TearDown() override
    {
        if (!folder.empty())
            std::filesystem::remove_all(folder);
    }
    std::string folder, content;
    std::u16string dosPath;
    const std::string prefix =
        "\r\n--" + kBoundary +
        "\r\nContent-Disposition: form-data; name=\"filename\"; "
        "filename=\"报告.bin\"\r\nContent-Type: application/octet-stream\r\n\r\n";
    const std::string suffix = "\r\n--" + kBoundary + "--\r\n";
};

TEST_F(XHttpUploadTest, PostFileSendsTheFileBetweenPrefixAndSuffix)
{
    std::vector<std::pair<uint64_t, uint64_t>> calls;
    client.SetUploadProgressCallback([&](const std::u16string& path, uint64_t sent, uint64_t size) {
        EXPECT_EQ(path, dosPath);
        calls.emplace_back(sent, size);
        return true;
    });
    ASSERT_TRUE(client.OpenUrl(server.Url("/echo").c_str()));
    ASSERT_TRUE(client.SendRequest(RequestKind::PostFile)) << client.LastError();
    EXPECT_FALSE(client.UploadCancelled());
    EXPECT_TRUE(LastBody() == prefix + content + suffix) << LastBody().size();
    EXPECT_NE(server.LastRequest().find(
                  "\r\nContent-Length: " +
                  std::to_string(prefix.size() + content.size() + suffix.size()) + "\r\n"),
              std::string::npos);
    const std::vector<std::pair<uint64_t, uint64_t>> expected = {
        {0, 80000}, {32768, 80000}, {65536, 80000}, {80000, 80000}};
    EXPECT_EQ(calls, expected);
}

TEST_F(XHttpUploadTest, CancelAtTheFirstCallSendsNoFileByte)
{
    int calls = 0;
    client.SetUploadProgressCallback([&](const std::u16string&, uint64_t, uint64_t) {
        ++calls;
        return false;
    });
    ASSERT_TRUE(client.OpenUrl(server.Url("/echo").c_str()));
    const size_t before = server.RequestCount();
    EXPECT_FALSE(client.SendRequest(RequestKind::PostFile));
    EXPECT_TRUE(client.UploadCancelled());
    EXPECT_EQ(client.LastError(), 0u);
    EXPECT_EQ(calls, 1);
    // The server saw the prefix, then the connection closed.
    ASSERT_TRUE(server.WaitForRequests(before));
    EXPECT_EQ(LastBody(), prefix);

    // The next upload clears the flag.
    client.SetUploadProgressCallback(nullptr);
    ASSERT_TRUE(client.SendRequest(RequestKind::PostFile));
    EXPECT_FALSE(client.UploadCancelled());
}

} // namespace
