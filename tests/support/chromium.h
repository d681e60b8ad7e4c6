#pragma once

#include <string>

namespace sentrel::test {

// The distribution's Chromium, or "" when it is not installed.
std::string FindChromium();

// Loads the address in headless Chromium and returns the document it built (what
// --dump-dom prints), or "" on failure. The browser is kept to loopback: every name but
// 127.0.0.1 fails to resolve, and its background services are off. It runs in a process
// group of its own, which is ended with it.
std::string ChromiumDumpDom(const std::string& chromium, const std::string& url,
                            const std::string& workDir, int timeoutMs = 90000);

}  // namespace sentrel::test
