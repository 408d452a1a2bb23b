#include "AddressPolicy.h"

#include <glib.h>

#include <cstring>
#include <netinet/in.h>

namespace {
// Ranges that GLib's address tests leave out: shared (carrier-grade NAT), "this network",
// unique-local IPv6.
const AddressRange kMoreLocalRanges[] = {
    {{100, 64, 0, 0}, 10},
    {{0, 0, 0, 0}, 8},
    {{0xfc, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 7},
};

bool IsLocal(GInetAddress* address)
{
    if (g_inet_address_get_is_loopback(address) || g_inet_address_get_is_link_local(address) ||
        g_inet_address_get_is_site_local(address) || g_inet_address_get_is_any(address) ||
        g_inet_address_get_is_multicast(address))
        return true;
    const auto* bytes = g_inet_address_to_bytes(address);
    const size_t size = g_inet_address_get_native_size(address);
    for (const AddressRange& range : kMoreLocalRanges) {
        if (range.Contains(bytes, size))
            return true;
    }
    return false;
}

std::string HostOfUrl(const char* url)
{
    GUri* uri = url ? g_uri_parse(url, G_URI_FLAGS_ENCODED, nullptr) : nullptr;
    std::string host = uri && g_uri_get_host(uri) ? g_uri_get_host(uri) : "";
    if (uri)
        g_uri_unref(uri);
    gchar* lower = g_ascii_strdown(host.c_str(), -1);
    host = lower;
    g_free(lower);
    return host;
}
}  // namespace

bool IsAddressAllowed(const sockaddr* address, const std::string& host, const AssistantConfig& config)
{
    GInetAddress* inet = nullptr;
    if (address->sa_family == AF_INET) {
        const auto* v4 = reinterpret_cast<const sockaddr_in*>(address);
        inet = g_inet_address_new_from_bytes(reinterpret_cast<const guint8*>(&v4->sin_addr), G_SOCKET_FAMILY_IPV4);
    } else if (address->sa_family == AF_INET6) {
        const auto* v6 = reinterpret_cast<const sockaddr_in6*>(address);
        const uint8_t* bytes = v6->sin6_addr.s6_addr;
        // An IPv4 address written as IPv6 (::ffff:a.b.c.d) is judged as the IPv4 address.
        static const uint8_t kMapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
        inet = memcmp(bytes, kMapped, 12) == 0 ? g_inet_address_new_from_bytes(bytes + 12, G_SOCKET_FAMILY_IPV4)
                                               : g_inet_address_new_from_bytes(bytes, G_SOCKET_FAMILY_IPV6);
    } else {
        return false;
    }
    bool allowed = !IsLocal(inet);
    const auto* bytes = g_inet_address_to_bytes(inet);
    const size_t size = g_inet_address_get_native_size(inet);
    for (const AddressRange& range : config.addresses)
        allowed = allowed || range.Contains(bytes, size);
    for (const std::string& name : config.hostNames)
        allowed = allowed || name == host;
    g_object_unref(inet);
    return allowed;
}

std::string AddressRefusal(const std::string& host)
{
    return "\"" + host + "\" is on this computer or its local network, which pages may not reach; to allow it, " +
           "add it to \"addresses\" in the [Allow] group of " + AssistantConfigFile::Path();
}

void AddressPolicy::Apply(CURL* easy)
{
    mEasy = easy;
    mRefusedHost.clear();
    curl_easy_setopt(easy, CURLOPT_OPENSOCKETFUNCTION, &OpenSocket);
    curl_easy_setopt(easy, CURLOPT_OPENSOCKETDATA, this);
}

curl_socket_t AddressPolicy::OpenSocket(void* data, curlsocktype, curl_sockaddr* address)
{
    auto* self = static_cast<AddressPolicy*>(data);
    char* url = nullptr;
    curl_easy_getinfo(self->mEasy, CURLINFO_EFFECTIVE_URL, &url);
    const std::string host = HostOfUrl(url);
    if (!IsAddressAllowed(&address->addr, host, *self->mConfig)) {
        self->mRefusedHost = host;
        return CURL_SOCKET_BAD;
    }
    return socket(address->family, address->socktype, address->protocol);
}
