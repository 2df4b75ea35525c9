#pragma once

#include <QCoreApplication>

#include <chrono>
#include <functional>

namespace dravelin::testing {

// The one Qt application object of a test program (offscreen GUI platform),
// created on first use.
QCoreApplication& qtApplication();

// Processes events until `done` holds or the timeout passes; returns `done()`.
// The default timeout only guards against a hang: a busy machine may take
// many times longer than a quiet one, and waiting costs nothing once `done`.
bool waitUntil(const std::function<bool()>& done,
               std::chrono::milliseconds timeout = std::chrono::seconds(60));

} // namespace dravelin::testing
