#pragma once

#include <QList>
#include <QObject>
#include <QPair>
#include <QPointer>
#include <QString>
#include <QUrl>

class QNetworkAccessManager;

namespace dravelin {

// One file of the hub's listing that the application installs.
struct RemoteFile {
    QString path; // inside the repository
    qint64 size = 0;
};

// Fetches the model from the Hugging Face hub into the partial directory, file
// by file (files already there with the listed size are kept), then replaces
// the model directory with it and writes the completion marker last.
//
// Lives on the GUI thread; all network waits are asynchronous. One object runs
// one download: start() once, then wait for finished().
class ModelDownload : public QObject {
    Q_OBJECT
public:
    enum class Outcome { installed, cancelled, failed };
    Q_ENUM(Outcome)

    // The hub repository and which of its files go where in the model
    // directory, in install order.
    static QString repository();
    static const QList<QPair<QString, QString>>& installMap();
    // https://huggingface.co, or $HF_ENDPOINT when set.
    static QUrl hubBaseUrl();

    ModelDownload(QNetworkAccessManager* network, QString partialDirectory,
                  QString modelDirectory, QObject* parent = nullptr);

    void start();
    // Aborts the running request promptly; finished(cancelled) follows.
    void cancel();

signals:
    // For every network progress event (not throttled): the overall fraction
    // (0 to 1) and the detail text "name — x of y".
    void progress(double fraction, const QString& detail);
    // Exactly once. For `failed`, `description` is the error's description
    // (for example "Server returned HTTP 404 for vocab.json."); empty otherwise.
    void finished(dravelin::ModelDownload::Outcome outcome, const QString& description);

private:
    class Procedure;
    QPointer<QNetworkAccessManager> network_;
    QString partialDirectory_;
    QString modelDirectory_;
    Procedure* procedure_ = nullptr;
};

} // namespace dravelin
