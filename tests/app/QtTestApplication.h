#pragma once

#include <QCoreApplication>

#include <chrono>
#include <functional>

namespace dravelin::testing {

// The one Qt application object of a test program (offscreen GUI platform),
// created on first use.
QCoreApplication& qtApplication();

// Processes events until `done` holds or the timeout passes; returns `done()`.
bool waitUntil(const std::function<bool()>& done,
               std::chrono::milliseconds timeout = std::chrono::milliseconds(5000));

} // namespace dravelin::testing
