#include "app/QtValuePrinting.h"
#include "state/download/ByteCountText.h"
#include "state/download/HubAddresses.h"
#include "state/download/HubListingFormat.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <gtest/gtest.h>

using namespace dravelin;

namespace {

const QUrl page("https://hub.test/api/models/a/b/tree/main?recursive=true");

TEST(HubAddresses, ListingAndFileUrlsGoBelowTheBase) {
    EXPECT_EQ(hubListingUrl(QUrl("https://hub.test"), "org/model").toString(),
              "https://hub.test/api/models/org/model/tree/main?recursive=true");
    EXPECT_EQ(hubListingUrl(QUrl("https://hub.test/mirror/"), "org/model").toString(),
              "https://hub.test/mirror/api/models/org/model/tree/main?recursive=true");
    EXPECT_EQ(
        hubFileUrl(QUrl("http://127.0.0.1:8080"), "org/model", "unet/config.json").toEncoded(),
        "http://127.0.0.1:8080/org/model/resolve/main/unet/config.json");
}

TEST(HubAddresses, FilePathsArePercentEncoded) {
    EXPECT_EQ(hubFileUrl(QUrl("https://hub.test"), "org/model", "odd dir/a#b?c%d.json").toEncoded(),
              "https://hub.test/org/model/resolve/main/odd%20dir/a%23b%3Fc%25d.json");
}

TEST(HubAddresses, NextPageComesFromTheNextRelationOnly) {
    EXPECT_EQ(nextPageUrl("<https://hub.test/p?cursor=2>; rel=\"next\"", page),
              QUrl("https://hub.test/p?cursor=2"));
    EXPECT_EQ(nextPageUrl("</api/p?cursor=3>; rel=next", page),
              QUrl("https://hub.test/api/p?cursor=3"));
    EXPECT_EQ(nextPageUrl("<https://hub.test/1>; rel=\"prev\", <https://hub.test/3>; "
                          "title=\"x\"; REL=\"last Next\"",
                          page),
              QUrl("https://hub.test/3"));
    EXPECT_EQ(nextPageUrl("<https://hub.test/1>; rel=\"prev\"", page), std::nullopt);
    EXPECT_EQ(nextPageUrl("", page), std::nullopt);
    EXPECT_EQ(nextPageUrl("<https://hub.test/unterminated; rel=\"next\"", page), std::nullopt);
}

const QList<QPair<QString, QString>> installMap{{"a.json", "A/a.json"}, {"b.bin", "b.bin"}};

QJsonArray entries(const char* json) {
    return QJsonDocument::fromJson(json).array();
}

TEST(HubListingFormat, SizeIsTheLfsSizeElseTheOwnSizeElseZero) {
    const QJsonArray listed = entries(R"([
        {"type": "file", "path": "a.json", "size": 135, "lfs": {"size": 1000}},
        {"type": "file", "path": "b.bin", "size": 135}
    ])");
    const QList<RemoteFile> files = selectInstallFiles(listed, installMap);
    ASSERT_EQ(files.size(), 2);
    EXPECT_EQ(files[0].path, "a.json");
    EXPECT_EQ(files[0].size, 1000);
    EXPECT_EQ(files[1].size, 135);

    const QJsonArray unsized = entries(R"([
        {"type": "file", "path": "a.json", "lfs": {"oid": "x"}},
        {"type": "file", "path": "b.bin", "size": "135", "lfs": 7}
    ])");
    for (const RemoteFile& file : selectInstallFiles(unsized, installMap)) {
        EXPECT_EQ(file.size, 0) << file.path.toStdString();
    }
    EXPECT_EQ(selectInstallFiles(entries(R"([{"type":"file","path":"b.bin","size":5000000000}])"),
                                 installMap)
                  .value(0)
                  .size,
              5'000'000'000);
}

TEST(HubListingFormat, KeepsOnlyMappedFilesInListingOrder) {
    const QJsonArray listed = entries(R"([
        {"type": "directory", "path": "a.json", "size": 1},
        {"type": "file", "path": "b.bin", "size": 2},
        {"type": "File", "path": "a.json", "size": 3},
        {"type": "file", "size": 4},
        {"type": "file", "path": "other.bin", "size": 5},
        {"path": "a.json", "size": 6},
        {"type": "file", "path": "A.json", "size": 7},
        {"type": "file", "path": "a.json", "size": 8}
    ])");
    const QList<RemoteFile> files = selectInstallFiles(listed, installMap);
    ASSERT_EQ(files.size(), 2);
    EXPECT_EQ(files[0].path, "b.bin");
    EXPECT_EQ(files[0].size, 2);
    EXPECT_EQ(files[1].path, "a.json");
    EXPECT_EQ(files[1].size, 8);
    EXPECT_TRUE(coversInstallMap(files, installMap));
    EXPECT_FALSE(coversInstallMap(files.mid(1), installMap));
}

TEST(HubListingFormat, PagesMustBeArraysOfObjects) {
    QJsonArray collected;
    EXPECT_EQ(appendListingPage(R"([{"type": "file"}])", collected), std::nullopt);
    EXPECT_EQ(appendListingPage("[]", collected), std::nullopt);
    EXPECT_EQ(appendListingPage(R"([{"type": "directory"}])", collected), std::nullopt);
    EXPECT_EQ(collected.size(), 2);

    const QString unexpected = "Unexpected response from Hugging Face.";
    EXPECT_EQ(appendListingPage(R"({"a": 1})", collected), unexpected);
    EXPECT_EQ(appendListingPage(R"([{"a": 1}, "b"])", collected), unexpected);
    EXPECT_EQ(collected.size(), 2) << "a rejected page adds nothing";

    const auto parseFailure = appendListingPage("[{\"a\":", collected);
    ASSERT_TRUE(parseFailure.has_value());
    EXPECT_FALSE(parseFailure->isEmpty());
    EXPECT_NE(*parseFailure, unexpected);
}

TEST(ByteCountText, UsesDecimalUnits) {
    EXPECT_EQ(byteCountText(0), "0 bytes");
    EXPECT_EQ(byteCountText(1), "1 byte");
    EXPECT_EQ(byteCountText(999), "999 bytes");
    EXPECT_EQ(byteCountText(1000), "1 kB");
    EXPECT_EQ(byteCountText(1500), "2 kB");
    EXPECT_EQ(byteCountText(999'499), "999 kB");
    EXPECT_EQ(byteCountText(999'999), "1.0 MB");
    EXPECT_EQ(byteCountText(12'345'678), "12.3 MB");
    EXPECT_EQ(byteCountText(1'700'000'000), "1.7 GB");
    EXPECT_EQ(byteCountText(2'132'000'000), "2.1 GB");
    EXPECT_EQ(byteCountText(999'960'000'000), "1.0 TB");
}

} // namespace
