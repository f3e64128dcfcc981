// The WinHTTP subset where its rules go beyond what XHttpClient shows: URL splitting, the
// header buffer protocol, header modifiers, broken and cancelled transfers.
#include "local_server.h"

#include "windows.h"
#include "winhttp.h"

#include <chrono>
#include <thread>

namespace {

TEST(WinHttpCrackUrl, ComponentsAsPositionsOrCopies)
{
    const char16_t* url = u"https://user:pw@example.com:8443/a/b.html?q=1#top";
    URL_COMPONENTS parts{};
    parts.dwStructSize = sizeof(parts);
    parts.dwSchemeLength = parts.dwHostNameLength = parts.dwUserNameLength = DWORD(-1);
    parts.dwPasswordLength = parts.dwUrlPathLength = parts.dwExtraInfoLength = DWORD(-1);
    ASSERT_TRUE(WinHttpCrackUrl(url, 0, 0, &parts));
    auto text = [](LPWSTR p, DWORD n) { return std::u16string(p, n); };
    EXPECT_EQ(parts.nScheme, INTERNET_SCHEME_HTTPS);
    EXPECT_EQ(parts.nPort, 8443);
    EXPECT_EQ(text(parts.lpszScheme, parts.dwSchemeLength), u"https");
    EXPECT_EQ(text(parts.lpszHostName, parts.dwHostNameLength), u"example.com");
    EXPECT_EQ(text(parts.lpszUserName, parts.dwUserNameLength), u"user");
    EXPECT_EQ(text(parts.lpszPassword, parts.dwPasswordLength), u"pw");
    EXPECT_EQ(text(parts.lpszUrlPath, parts.dwUrlPathLength), u"/a/b.html");
    EXPECT_EQ(text(parts.lpszExtraInfo, parts.dwExtraInfoLength), u"?q=1#top");
    EXPECT_EQ(parts.lpszUrlPath, url + 32); // a position inside the URL

    // Without the extra info asked for, the path carries it; a host is copied into a buffer.
    WCHAR host[12];
    URL_COMPONENTS copy{};
    copy.dwStructSize = sizeof(copy);
    copy.lpszHostName = host;
    copy.dwHostNameLength = ARRAYSIZE(host);
    copy.dwUrlPathLength = DWORD(-1);
    ASSERT_TRUE(WinHttpCrackUrl(u"http://example.com/x?y", 0, 0, &copy));
    EXPECT_EQ(std::u16string(host), u"example.com");
    EXPECT_EQ(copy.nPort, 80);
    EXPECT_EQ(std::u16string(copy.lpszUrlPath, copy.dwUrlPathLength), u"/x?y");
    copy.dwHostNameLength = 11; // no room for the terminator
    EXPECT_FALSE(WinHttpCrackUrl(u"http://example.com/", 0, 0, &copy));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));

    URL_COMPONENTS plain{};
    plain.dwStructSize = sizeof(plain);
    ASSERT_TRUE(WinHttpCrackUrl(u"ftp://h/f", 0, 0, &plain));
    EXPECT_EQ(plain.nScheme, INTERNET_SCHEME_FTP);
    EXPECT_FALSE(WinHttpCrackUrl(u"mailto:x@y", 0, 0, &plain));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_WINHTTP_UNRECOGNIZED_SCHEME));
    EXPECT_FALSE(WinHttpCrackUrl(u"http://:80/", 0, 0, &plain));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_WINHTTP_INVALID_URL));
}

class WinHttpRequestTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        REQUIRE_SERVER();
        session = WinHttpOpen(u"test", WINHTTP_ACCESS_TYPE_NO_PROXY, nullptr, nullptr, 0);
        ASSERT_NE(session, nullptr);
        connection =
            WinHttpConnect(session, u"127.0.0.1",
                           static_cast<INTERNET_PORT>(std::stoi(server.Base().substr(17))), 0);
        ASSERT_NE(connection, nullptr);
    }
    void TearDown() override
    {
        if (request)
            WinHttpCloseHandle(request);
        if (connection)
            WinHttpCloseHandle(connection);
        if (session)
            WinHttpCloseHandle(session);
    }
    bool Get(const char16_t* path)
    {
        request = WinHttpOpenRequest(connection, u"GET", path, nullptr, nullptr, nullptr, 0);
        return request && WinHttpSendRequest(request, nullptr, 0, nullptr, 0, 0, 0) &&
               WinHttpReceiveResponse(request, nullptr);
    }
    const LocalServer& server = LocalServer::Get();
    HINTERNET session = nullptr, connection = nullptr, request = nullptr;
};

TEST_F(WinHttpRequestTest, HeaderQueriesFollowTheBufferProtocol)
{
    ASSERT_TRUE(Get(u"/cookies"));
    DWORD size = 0;
    EXPECT_FALSE(
        WinHttpQueryHeaders(request, WINHTTP_QUERY_STATUS_CODE, nullptr, nullptr, &size, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(size, 8u); // "200" and its terminator
    WCHAR text[4];
    ASSERT_TRUE(
        WinHttpQueryHeaders(request, WINHTTP_QUERY_STATUS_CODE, nullptr, text, &size, nullptr));
    EXPECT_EQ(size, 6u);
    EXPECT_EQ(std::u16string(text), u"200");

    DWORD number = 0, length = sizeof(number);
    ASSERT_TRUE(WinHttpQueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                                    nullptr, &number, &length, nullptr));
    EXPECT_EQ(number, 200u);

    WCHAR cookie[16];
    DWORD index = 1;
    size = sizeof(cookie);
    ASSERT_TRUE(
        WinHttpQueryHeaders(request, WINHTTP_QUERY_CUSTOM, u"set-cookie", cookie, &size, &index));
    EXPECT_EQ(std::u16string(cookie), u"b=2");
    EXPECT_EQ(index, 2u);
    size = sizeof(cookie);
    EXPECT_FALSE(
        WinHttpQueryHeaders(request, WINHTTP_QUERY_SET_COOKIE, nullptr, cookie, &size, &index));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_WINHTTP_HEADER_NOT_FOUND));
    EXPECT_EQ(index, 2u);

    // A connection handle is not a request.
    EXPECT_FALSE(WinHttpQueryHeaders(connection, WINHTTP_QUERY_STATUS_CODE, nullptr, nullptr, &size,
                                     nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_WINHTTP_INCORRECT_HANDLE_TYPE));
}

TEST_F(WinHttpRequestTest, HeaderModifiersAddReplaceAndRefuse)
{
    request = WinHttpOpenRequest(connection, u"GET", u"/echo", nullptr, nullptr, nullptr, 0);
    ASSERT_NE(request, nullptr);
    const DWORD add = WINHTTP_ADDREQ_FLAG_ADD;
    ASSERT_TRUE(WinHttpAddRequestHeaders(request, u"X-One: 1\r\nX-Two: 2\r\n", DWORD(-1), add));
    EXPECT_FALSE(
        WinHttpAddRequestHeaders(request, u"x-one: 9", DWORD(-1), WINHTTP_ADDREQ_FLAG_ADD_IF_NEW));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_WINHTTP_HEADER_ALREADY_EXISTS));
    EXPECT_FALSE(
        WinHttpAddRequestHeaders(request, u"X-Three: 3", DWORD(-1), WINHTTP_ADDREQ_FLAG_REPLACE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_WINHTTP_HEADER_NOT_FOUND));
    ASSERT_TRUE(
        WinHttpAddRequestHeaders(request, u"X-One: 11", DWORD(-1), WINHTTP_ADDREQ_FLAG_REPLACE));
    ASSERT_TRUE(
        WinHttpAddRequestHeaders(request, u"X-Two:", DWORD(-1), WINHTTP_ADDREQ_FLAG_REPLACE));
    ASSERT_TRUE(WinHttpSendRequest(request, nullptr, 0, nullptr, 0, 0, 0));
    ASSERT_TRUE(WinHttpReceiveResponse(request, nullptr));
    const std::string seen = server.LastRequest();
    EXPECT_NE(seen.find("\r\nX-One: 11\r\n"), std::string::npos);
    EXPECT_EQ(seen.find("X-Two"), std::string::npos);
    // Headers are fixed once the request went out.
    EXPECT_FALSE(WinHttpAddRequestHeaders(request, u"X-Late: 1", DWORD(-1), add));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_WINHTTP_INCORRECT_HANDLE_STATE));
}

TEST_F(WinHttpRequestTest, BodyCutShortIsAnErrorAfterItsBytes)
{
    server.Put("cut.bin", std::string(10000, 'c'));
    ASSERT_TRUE(Get(u"/truncate/cut.bin"));
    std::string body;
    char buffer[4096];
    DWORD read = 0;
    BOOL ok;
    while ((ok = WinHttpReadData(request, buffer, sizeof(buffer), &read)) && read > 0)
        body.append(buffer, read);
    EXPECT_FALSE(ok);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_WINHTTP_CONNECTION_ERROR));
    EXPECT_EQ(body, std::string(5000, 'c'));
}

TEST_F(WinHttpRequestTest, ClosingFromAnotherThreadCancelsAWaitingRead)
{
    server.Put("slow.bin", std::string(10000, 's'));
    ASSERT_TRUE(Get(u"/stall/slow.bin"));
    char buffer[8192];
    DWORD read = 0;
    ASSERT_TRUE(WinHttpReadData(request, buffer, sizeof(buffer), &read));
    EXPECT_EQ(read, 5000u);

    std::thread closer([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        EXPECT_TRUE(WinHttpCloseHandle(request));
    });
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(WinHttpReadData(request, buffer, sizeof(buffer), &read));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_WINHTTP_OPERATION_CANCELLED));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
    closer.join();
    EXPECT_FALSE(WinHttpCloseHandle(request));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    request = nullptr;
}

TEST_F(WinHttpRequestTest, ReceiveTimeoutBoundsASilentServer)
{
    server.Put("quiet.bin", std::string(1000, 'q'));
    ASSERT_TRUE(WinHttpSetTimeouts(session, 0, 5000, 5000, 250));
    // A connection opened before keeps the timeouts it started with.
    WinHttpCloseHandle(connection);
    connection = WinHttpConnect(session, u"127.0.0.1",
                                static_cast<INTERNET_PORT>(std::stoi(server.Base().substr(17))), 0);
    ASSERT_TRUE(Get(u"/stall/quiet.bin"));
    char buffer[2000];
    DWORD read = 0;
    ASSERT_TRUE(WinHttpReadData(request, buffer, sizeof(buffer), &read));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(WinHttpReadData(request, buffer, sizeof(buffer), &read));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_WINHTTP_TIMEOUT));
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, std::chrono::milliseconds(200));
    EXPECT_LT(waited, std::chrono::seconds(3));
}

} // namespace
