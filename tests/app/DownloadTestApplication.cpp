#include <QCoreApplication>
#include <QLocale>
#include <QNetworkProxy>

#include <gtest/gtest.h>

#include <memory>

namespace {

// The download needs an event loop; one application object serves every test.
class DownloadTestApplication : public ::testing::Environment {
public:
    void SetUp() override {
        application_ = std::make_unique<QCoreApplication>(argc_, argv_);
        // Byte counts in the progress text follow the default locale.
        QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
        // Only the loopback fake is ever contacted, never through a proxy.
        QNetworkProxy::setApplicationProxy(QNetworkProxy::NoProxy);
    }
    void TearDown() override { application_.reset(); }

private:
    inline static char name_[] = "test_download";
    inline static char* arguments_[] = {name_, nullptr};
    inline static int argc_ = 1;
    char** argv_ = arguments_;
    std::unique_ptr<QCoreApplication> application_;
};

[[maybe_unused]] ::testing::Environment* const application =
    ::testing::AddGlobalTestEnvironment(new DownloadTestApplication);

} // namespace
