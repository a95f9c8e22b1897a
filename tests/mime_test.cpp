#include <gtest/gtest.h>

#include <libvux/vuxfile.h>
#include <libvux/vuxmime.h>

#include "test_util.h"

TEST(Mime, LookupByExtension) {
    testutil::TempDir dir;
    testutil::WriteFile(dir / "etc/dist/types.mime",
                        "text/html\thtml htm shtml\n"
                        "image/jpeg\tjpeg jpg jpe\n"
                        "application/x-httpd-php\tphp phtml\n"
                        "text/x-server-parsed-html\tshtml\n"
                        "text/plain\ttxt\r\n"
                        "application/octet-stream\n"
                        "application/x-tar\ttar\n");
    testutil::ChDir cd(dir.path());
    EXPECT_EQ(vux_mime::GetMimeType("html"), "text/html");
    EXPECT_EQ(vux_mime::GetMimeType("jpe"), "image/jpeg") << "the last on its line";
    EXPECT_EQ(vux_mime::GetMimeType("shtml"), "text/html") << "the first line that lists it";
    EXPECT_EQ(vux_mime::GetMimeType("tar"), "application/x-tar");
    EXPECT_EQ(vux_mime::GetMimeType("txt"), "text/plain");
    EXPECT_EQ(vux_mime::GetMimeType("JPG"), "") << "case-sensitive";
    EXPECT_EQ(vux_mime::GetMimeType("jp"), "") << "whole extensions only";
    EXPECT_EQ(vux_mime::GetMimeType("php phtml"), "");
    EXPECT_EQ(vux_mime::GetMimeType(""), "");
    EXPECT_EQ(vux_mime::GetMimeType("application/octet-stream"), "") << "a type is no extension";
    // Read on every call.
    testutil::WriteFile("etc/dist/types.mime", "text/markdown\tmd\n");
    EXPECT_EQ(vux_mime::GetMimeType("md"), "text/markdown");
    EXPECT_EQ(vux_mime::GetMimeType("html"), "");
    vux_file::Remove("etc/dist/types.mime");
    EXPECT_THROW(vux_mime::GetMimeType("md"), vux_file::Fail);
}
