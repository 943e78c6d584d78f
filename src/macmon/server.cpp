// SPDX-License-Identifier: MIT
#include "server.h"

#include "net.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <microhttpd.h>
#include <stdexcept>
#include <unistd.h>

namespace macmon {

struct Server::Context
{
    DocumentSource document;
    std::set<std::string> allowedHosts;
};

namespace {

constexpr char kJsonPath[] = "/json";

MHD_Result reply(MHD_Connection *connection, unsigned status, const char *body, std::size_t size,
    const char *contentType, bool copy)
{
    MHD_Response *response = MHD_create_response_from_buffer(
        size, const_cast<char *>(body), copy ? MHD_RESPMEM_MUST_COPY : MHD_RESPMEM_PERSISTENT);
    if (!response)
        return MHD_NO;
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, contentType);
    MHD_add_response_header(response, MHD_HTTP_HEADER_CACHE_CONTROL, "no-store");
    MHD_add_response_header(response, "X-Content-Type-Options", "nosniff");
    if (status == MHD_HTTP_METHOD_NOT_ALLOWED)
        MHD_add_response_header(response, MHD_HTTP_HEADER_ALLOW, "GET, HEAD");
    const MHD_Result result = MHD_queue_response(connection, status, response);
    MHD_destroy_response(response);
    return result;
}

MHD_Result replyText(MHD_Connection *connection, unsigned status, const char *text)
{
    return reply(connection, status, text, std::strlen(text), "text/plain; charset=utf-8", false);
}

std::string lower(const char *text)
{
    std::string s = text ? text : "";
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
    return s;
}

MHD_Result handle(void *cls, MHD_Connection *connection, const char *url, const char *method,
    const char * /*version*/, const char * /*upload*/, std::size_t * /*uploadSize*/, void ** /*state*/)
{
    const auto *context = static_cast<const Server::Context *>(cls);
    // Only our own names pass, so a web page cannot reach us through a rebound DNS name.
    const char *host = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_HOST);
    if (!context->allowedHosts.contains(lower(host)))
        return replyText(connection, MHD_HTTP_FORBIDDEN, "forbidden\n");
    if (std::strcmp(url, kJsonPath) != 0)
        return replyText(connection, MHD_HTTP_NOT_FOUND, "not found\n");
    if (std::strcmp(method, MHD_HTTP_METHOD_GET) != 0 && std::strcmp(method, MHD_HTTP_METHOD_HEAD) != 0)
        return replyText(connection, MHD_HTTP_METHOD_NOT_ALLOWED, "method not allowed\n");
    const auto doc = context->document();
    if (!doc)
        return replyText(connection, MHD_HTTP_SERVICE_UNAVAILABLE, "no sample yet\n");
    return reply(connection, MHD_HTTP_OK, doc->data(), doc->size(), "application/json", true);
}

} // namespace

Server::Server(int listenFd, DocumentSource document, ServerLimits limits)
    : port_(boundPort(listenFd))
    , context_(std::make_unique<Context>())
{
    context_->document = std::move(document);
    std::string port = ":";
    port += std::to_string(port_);
    for (const char *host : { "127.0.0.1", "localhost", "[::1]" })
        context_->allowedHosts.insert(std::string(host).append(port));
    // One event thread; MHD closes listenFd when it stops.
    daemon_ = MHD_start_daemon(MHD_USE_EPOLL_INTERNAL_THREAD, 0, nullptr, nullptr, &handle, context_.get(),
        MHD_OPTION_LISTEN_SOCKET, static_cast<MHD_socket>(listenFd), MHD_OPTION_CONNECTION_LIMIT,
        limits.connections, MHD_OPTION_CONNECTION_TIMEOUT, static_cast<unsigned>(limits.idle.count()),
        MHD_OPTION_CONNECTION_MEMORY_LIMIT, limits.requestBytes, MHD_OPTION_END);
    if (!daemon_) {
        ::close(listenFd);
        throw std::runtime_error("cannot start the HTTP service");
    }
}

Server::~Server()
{
    MHD_stop_daemon(daemon_);
}

} // namespace macmon
