#pragma once

#include <QMetaType>
#include <QObject>
#include <QString>

namespace dravelin {

// Where the model is: the setup screen shows every case but `ready`.
class ModelState {
    Q_GADGET
public:
    enum class Kind { missing, downloading, loading, ready, failed };
    Q_ENUM(Kind)

    static ModelState missing() { return {Kind::missing, 0.0, {}, {}}; }
    static ModelState downloading(double fraction, const QString& detail) {
        return {Kind::downloading, fraction, detail, {}};
    }
    static ModelState loading() { return {Kind::loading, 0.0, {}, {}}; }
    static ModelState ready() { return {Kind::ready, 0.0, {}, {}}; }
    static ModelState failed(const QString& message) { return {Kind::failed, 0.0, {}, message}; }

    Kind kind = Kind::missing;
    double fraction = 0.0; // downloading only
    QString detail;        // downloading only
    QString message;       // failed only

    bool operator==(const ModelState& other) const = default;
};

} // namespace dravelin

Q_DECLARE_METATYPE(dravelin::ModelState)
