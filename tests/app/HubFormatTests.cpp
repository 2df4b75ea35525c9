#include "app/QtValuePrinting.h"
#include "state/download/ByteCountText.h"
#include "state/download/HubAddresses.h"
#include "state/download/HubListingFormat.h"
#include "state/download/TransferRate.h"

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
        {"type": "file", "path": "a.json", "size": 135, "lfs": {"size": 1000,
         "oid": "9F86D081884C7D659A2FEAA0C55AD015A3BF4F1B2B0B822CD15D6C15B0F00A08"}},
        {"type": "file", "path": "b.bin", "size": 135, "oid": "0123"}
    ])");
    const QList<RemoteFile> files = selectInstallFiles(listed, installMap);
    ASSERT_EQ(files.size(), 2);
    EXPECT_EQ(files[0].path, "a.json");
    EXPECT_EQ(files[0].installedPath, "A/a.json");
    EXPECT_EQ(files[0].size, 1000);
    // Only an LFS oid is a SHA-256; a plain entry's oid is git's own hash.
    EXPECT_EQ(files[0].sha256, "9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a08");
    EXPECT_EQ(files[1].size, 135);
    EXPECT_EQ(files[1].sha256, QByteArray());

    const QJsonArray unsized = entries(R"([
        {"type": "file", "path": "a.json", "lfs": {"oid": "x"}},
        {"type": "file", "path": "b.bin", "size": "135", "lfs": 7}
    ])");
    for (const RemoteFile& file : selectInstallFiles(unsized, installMap)) {
        EXPECT_EQ(file.size, 0) << file.path.toStdString();
        EXPECT_EQ(file.sha256, QByteArray()) << file.path.toStdString();
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

    EXPECT_EQ(appendListingPage("[{\"a\":", collected),
              "The hub sent a file list that could not be read.");
}

TEST(TransferRate, SpeedNeedsTwoSecondsAndFollowsTheLastTen) {
    TransferRate rate;
    rate.add(0, 0);
    rate.add(1'500, 3'000'000);
    EXPECT_EQ(rate.bytesPerSecond(), std::nullopt);
    rate.add(2'000, 4'000'000);
    EXPECT_EQ(rate.bytesPerSecond(), 2'000'000.0);
    // A megabyte a second, then three: ten seconds on, only the new pace counts.
    qint64 bytes = 4'000'000;
    for (qint64 time = 3'000; time <= 12'000; time += 1'000) {
        rate.add(time, bytes += 1'000'000);
    }
    for (qint64 time = 13'000; time <= 22'000; time += 1'000) {
        rate.add(time, bytes += 3'000'000);
    }
    EXPECT_EQ(rate.bytesPerSecond(), 3'000'000.0);
    rate.restart();
    EXPECT_EQ(rate.bytesPerSecond(), std::nullopt);

    EXPECT_EQ(speedText(8'440'000.0), "8.4 MB/s");
    EXPECT_EQ(timeLeftText(0.2), "1 s left");
    EXPECT_EQ(timeLeftText(45.2), "46 s left");
    EXPECT_EQ(timeLeftText(61), "2 min left");
    EXPECT_EQ(timeLeftText(3 * 3600 + 4 * 60 + 1), "3 h 05 min left");
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
