// Which addresses a transfer may reach. Addresses of this computer and of its local network
// (loopback, link-local, private and shared ranges, and the unspecified address) are refused
// unless the user allowed them in the settings, by host name, address or range, the way browsers
// keep public pages from private networks. The check runs on each address libcurl is about to
// connect to, so it holds after DNS and after every redirect, and it refuses before anything is
// sent, so that a refused transfer tells nothing about what listens there.
#pragma once

#include "AssistantConfig.h"

#include <curl/curl.h>

#include <memory>
#include <string>
#include <sys/socket.h>

// Whether a connection to the address, reached through the host name of a URL, is allowed.
bool IsAddressAllowed(const sockaddr* address, const std::string& host, const AssistantConfig& config);

// The reason a page hears for a refused host.
std::string AddressRefusal(const std::string& host);

// Holds the settings for one handle and notes whether a connection was refused.
class AddressPolicy {
public:
    explicit AddressPolicy(std::shared_ptr<const AssistantConfig> config) : mConfig(std::move(config)) {}
    // Makes every connection of the handle pass the check; the policy must outlive the handle.
    void Apply(CURL* easy);
    // The host refused since the last Apply, or empty.
    const std::string& RefusedHost() const { return mRefusedHost; }

private:
    static curl_socket_t OpenSocket(void* self, curlsocktype purpose, curl_sockaddr* address);

    std::shared_ptr<const AssistantConfig> mConfig;
    CURL* mEasy = nullptr;
    std::string mRefusedHost;
};
