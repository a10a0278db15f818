#include "app/ui/WebServer.h"

#include "app/ui/ControllerThread.h"
#include "app/ui/DialogHost.h"
#include "app/ui/PageHub.h"
#include "app/ui/ScriptBridge.h"
#include "base/Exception.h"
#include "base/Trace.h"

#include <httplib.h>
#include <nlohmann/json.hpp>

#include <fstream>
#include <sstream>
#include <stdexcept>

namespace ostrel {

namespace {

const char* const CSP = "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self'; "
                        "connect-src 'self'; frame-ancestors 'none'; base-uri 'none'; form-action 'none'";

std::string contentTypeOf(const std::string& name) {
    auto ends = [&](const char* suffix) {
        const std::string s(suffix);
        return name.size() >= s.size() && name.compare(name.size() - s.size(), s.size(), s) == 0;
    };
    if (ends(".html")) return "text/html; charset=utf-8";
    if (ends(".js")) return "text/javascript; charset=utf-8";
    if (ends(".css")) return "text/css; charset=utf-8";
    if (ends(".png")) return "image/png";
    if (ends(".gif")) return "image/gif";
    if (ends(".svg")) return "image/svg+xml";
    return "application/octet-stream";
}

bool readFile(const std::string& path, std::string& out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return false;
    }
    std::ostringstream s;
    s << in.rdbuf();
    out = s.str();
    return true;
}

void refuse(httplib::Response& res, int status, const char* text) {
    res.status = status;
    res.set_content(std::string(text) + "\n", "text/plain; charset=utf-8");
}

// The JSON body of a POST; nullopt (after answering 400) when it is not JSON.
std::optional<nlohmann::json> jsonBody(const httplib::Request& req, httplib::Response& res) {
    if (req.body.empty()) {
        return nlohmann::json::object();
    }
    auto body = nlohmann::json::parse(req.body, nullptr, false);
    if (body.is_discarded()) {
        refuse(res, 400, "The body is not JSON.");
        return std::nullopt;
    }
    return body;
}

void answer(httplib::Response& res, const nlohmann::json& result) {
    res.set_content(nlohmann::json{{"result", result}}.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace),
                    "application/json");
}

} // namespace

struct WebServer::Impl {
    httplib::Server server;
};

WebServer::WebServer(ControllerThread& controller, PageHub& pages, ScriptBridge& bridge, DialogHost& dialogs,
                     std::string webRoot)
    : _impl(std::make_unique<Impl>()), _controller(controller), _pages(pages), _bridge(bridge), _dialogs(dialogs),
      _webRoot(std::move(webRoot)) {}

WebServer::~WebServer() { stop(); }

uint16_t WebServer::bind(const std::string& host, uint16_t port, const std::string& token) {
    if (!AccessGuard::isLoopback(host)) {
        throw Exception("Exception", 0, "Ostrel listens on loopback only, not on " + host);
    }
    httplib::Server& svr = _impl->server;
    // One worker per page stream plus room for the requests beside them.
    svr.new_task_queue = [] { return new httplib::ThreadPool(MaxPages + 8); };
    svr.set_payload_max_length(64 * 1024);
    svr.set_keep_alive_timeout(5);
    svr.set_read_timeout(10, 0);
    svr.set_write_timeout(10, 0);
    svr.set_default_headers({{"Cache-Control", "no-store"},
                             {"X-Content-Type-Options", "nosniff"},
                             {"X-Frame-Options", "DENY"},
                             {"Referrer-Policy", "no-referrer"},
                             {"Content-Security-Policy", CSP}});

    int bound = -1;
    if (port == 0) {
        bound = svr.bind_to_any_port(host);
    } else if (svr.bind_to_port(host, port)) {
        bound = port;
    }
    if (bound <= 0) {
        throw SystemException(EADDRINUSE, "cannot listen on " + host + ":" + std::to_string(port));
    }
    _guard = std::make_unique<AccessGuard>(token, host, static_cast<uint16_t>(bound));

    svr.set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
        using R = httplib::Server::HandlerResponse;
        if (req.method != "GET" && req.method != "POST") {
            refuse(res, 405, "Only GET and POST.");
            return R::Handled;
        }
        if (!_guard->hostAllowed(req.get_header_value("Host"))) {
            refuse(res, 403, "Unknown host.");
            return R::Handled;
        }
        const bool hasOrigin = req.has_header("Origin");
        if (hasOrigin && !_guard->originAllowed(req.get_header_value("Origin"))) {
            refuse(res, 403, "Foreign origin.");
            return R::Handled;
        }
        if (req.method == "POST") {
            // Changes come only from the page itself: its own origin, as JSON.
            if (!hasOrigin) {
                refuse(res, 403, "A change needs the page's origin.");
                return R::Handled;
            }
            if (req.get_header_value("Content-Type").rfind("application/json", 0) != 0) {
                refuse(res, 415, "JSON only.");
                return R::Handled;
            }
        }
        const auto cookie = _guard->cookieToken(req.get_header_value("Cookie"));
        if (cookie && _guard->tokenMatches(*cookie)) {
            return R::Unhandled;
        }
        if (req.method == "GET" && req.path == "/" && req.has_param("token") &&
            _guard->tokenMatches(req.get_param_value("token"))) {
            // The printed address: keep the token in a cookie and take it out of the address bar.
            res.set_header("Set-Cookie", _guard->setCookieHeader());
            res.set_redirect("/", 303);
            return R::Handled;
        }
        refuse(res, 403, "Open the address Ostrel printed when it started (it carries the access token).");
        return R::Handled;
    });

    auto serveFile = [this](const std::string& name, httplib::Response& res) {
        std::string content;
        if (!readFile(_webRoot + "/" + name, content)) {
            refuse(res, 404, "Not found.");
            return;
        }
        res.set_content(content, contentTypeOf(name));
    };
    svr.Get("/", [serveFile](const httplib::Request&, httplib::Response& res) { serveFile("index.html", res); });
    svr.Get(R"(/((?:js/)?[A-Za-z0-9_]+\.(?:js|css)))",
            [serveFile](const httplib::Request& req, httplib::Response& res) { serveFile(req.matches[1], res); });
    svr.Get(R"(/img/([A-Za-z0-9_]+\.(png|gif|svg)))", [serveFile](const httplib::Request& req, httplib::Response& res) {
        serveFile("img/" + std::string(req.matches[1]), res);
    });

    svr.Get("/events", [this](const httplib::Request&, httplib::Response& res) {
        if (_streams.fetch_add(1) >= MaxPages) {
            _streams.fetch_sub(1);
            refuse(res, 503, "Too many pages are open.");
            return;
        }
        std::shared_ptr<PageChannel> channel = _pages.connect();
        if (!channel) {
            _streams.fetch_sub(1);
            refuse(res, 503, "Ostrel is shutting down.");
            return;
        }
        auto quiet = std::make_shared<int>(0);
        res.set_chunked_content_provider(
            "text/event-stream",
            [this, channel, quiet, first = std::make_shared<bool>(true)](size_t, httplib::DataSink& sink) {
                if (*first) {
                    *first = false;
                    static const std::string retry = "retry: 1000\n\n";
                    if (!sink.write(retry.data(), retry.size())) {
                        return false;
                    }
                }
                std::vector<std::string> events;
                switch (channel->take(events, std::chrono::milliseconds(500))) {
                case PageChannel::Take::Closed:
                    sink.done();
                    return true;
                case PageChannel::Take::Resync:
                    if (!_pages.resync(*channel)) {
                        sink.done();
                    }
                    return true;
                case PageChannel::Take::Timeout: {
                    // A comment now and then finds a page that went away.
                    if (++*quiet >= 30) {
                        *quiet = 0;
                        static const std::string beat = ":\n\n";
                        return sink.write(beat.data(), beat.size());
                    }
                    return sink.is_writable();
                }
                case PageChannel::Take::Events:
                    break;
                }
                *quiet = 0;
                std::string frame;
                for (const auto& e : events) {
                    frame += "data: ";
                    frame += e;
                    frame += "\n\n";
                }
                return sink.write(frame.data(), frame.size());
            },
            [this, channel](bool) {
                _pages.disconnect(channel);
                _streams.fetch_sub(1);
            });
    });

    svr.Get("/tooltip", [this](const httplib::Request& req, httplib::Response& res) {
        answer(res, _bridge.tooltip(req.get_param_value("title")));
    });

    svr.Post(R"(/archiver/([A-Za-z]+))", [this](const httplib::Request& req, httplib::Response& res) {
        auto body = jsonBody(req, res);
        if (!body) {
            return;
        }
        const nlohmann::json args = body->is_object() && body->contains("args") ? (*body)["args"] : nlohmann::json::array();
        answer(res, _bridge.call(req.matches[1], args));
    });

    svr.Post("/tray", [this](const httplib::Request& req, httplib::Response& res) {
        auto body = jsonBody(req, res);
        if (!body) {
            return;
        }
        auto number = [&](const char* key) {
            return body->is_object() && body->contains(key) && (*body)[key].is_number() ? (*body)[key].get<int>() : 0;
        };
        answer(res, _bridge.trayMenu(number("x"), number("y")));
    });

    svr.Post(R"(/dialog/(\d{1,9})/([A-Za-z]+))", [this](const httplib::Request& req, httplib::Response& res) {
        auto body = jsonBody(req, res);
        if (!body) {
            return;
        }
        const int id = std::stoi(req.matches[1]);
        const std::string function = req.matches[2];
        const nlohmann::json args = body->is_object() && body->contains("args") ? (*body)["args"] : nlohmann::json();
        std::optional<nlohmann::json> result;
        std::string error;
        const bool ran = _controller.send([&] {
            try {
                result = _dialogs.call(id, function, args);
            } catch (const std::invalid_argument& e) {
                error = e.what();
            }
        });
        if (!ran) {
            refuse(res, 503, "Ostrel is shutting down.");
        } else if (!error.empty()) {
            refuse(res, 400, error.c_str());
        } else if (!result) {
            refuse(res, 404, "The dialog is no longer open.");
        } else {
            answer(res, *result);
        }
    });

    svr.set_exception_handler([](const httplib::Request&, httplib::Response& res, std::exception_ptr ep) {
        try {
            std::rethrow_exception(ep);
        } catch (const std::exception& e) {
            trace("WebServer: %s", e.what());
        } catch (...) {
        }
        refuse(res, 500, "Internal error.");
    });
    return _guard->port();
}

void WebServer::start() {
    _thread = std::thread([this] {
        pthread_setname_np(pthread_self(), "WebServer");
        _impl->server.listen_after_bind();
    });
    // A stop() must find the server running, or it would not end its loop.
    for (int i = 0; i < 5000 && !_impl->server.is_running(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

void WebServer::stop() {
    _pages.closeAll();
    if (_thread.joinable()) {
        // Give the page streams a moment to send what was queued before the close.
        for (int i = 0; i < 100 && _streams.load() > 0; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        _impl->server.stop();
        _thread.join();
    }
}

} // namespace ostrel
