// pravel.comfyui.hostwarden: restarts the local ComfyUI server through its
// management endpoint and polls its statistics endpoint until it answers 200.
//
// Everything that blocks (the HTTP requests, the pauses) goes through the
// Python-level `requests.get` and `time.sleep`, looked up at call time: they
// release the GIL while they wait and let a KeyboardInterrupt through.
//
// So that no answer can hold a call past its bound or fill memory, both
// requests say, beside their time-out, stream=True, allow_redirects=False and a response
// hook that closes the answer as soon as its headers are in (its body is never
// read or decoded, not even the body of a redirect, which requests reads even
// when it does not follow it); a poll's time-out is cut to the time left when
// that is less than `timeout`; a negative, NaN or infinite `poll_interval` is
// refused by the constructor.
#include <cmath>

#include "pravel.hpp"

namespace kind = pv::kind;
using pv::ref;

namespace {

struct state : pv::state_base {
    pv::name time{"time"}, sleep{"sleep"}, logging{"logging"}, getLogger{"getLogger"};
    pv::name requests{"requests"}, get{"get"}, exceptions{"exceptions"},
        ConnectionError{"ConnectionError"}, status_code{"status_code"};
    pv::name stream{"stream"}, allow_redirects{"allow_redirects"}, hooks{"hooks"},
        response{"response"}, close{"close"}, close_unread{"_close_unread"};
    pv::name print{"print"}, module_name{"__name__"}, debug{"debug"}, error{"error"};
    // What a server that drops the connection to restart makes requests say.
    pv::name remote_closed{"Remote end closed connection"};
    pv::name trigger_reboot{"trigger_reboot"}, wait_service_ready{"wait_service_ready"};
    pv::name base_url{"base_url"}, reboot_api{"reboot_api"}, stats_api{"stats_api"},
        timeout{"timeout"}, max_wait{"max_wait"}, poll_interval{"poll_interval"}, flag{"flag"},
        logger{"logger"};
};

// requests.exceptions.ConnectionError, read when an except clause needs it.
bool is_connection_error(state& st, const pv::caught& e) {
    ref type = st.global(st.requests).attr(st.exceptions).attr(st.ConnectionError);
    return e.is_a(type.get());
}

// f"{value}"
ref formatted(const ref& value) { return ref::steal(PyObject_Format(value.get(), nullptr)); }

// `requests.get(url, timeout=timeout, stream=True, allow_redirects=False,
// hooks={"response": self._close_unread})`: one exchange, over once the status
// line and the headers are in, whatever the server sends after them.
ref http_get(state& st, const ref& self, const ref& url, const ref& timeout) {
    ref get = st.global(st.requests).attr(st.get);
    ref hooks = pv::dict();
    hooks.setitem(st.response.get(), self.attr(st.close_unread).get());
    return get(url, pv::kw(st.timeout.get(), timeout), pv::kw(st.stream.get(), pv::boolean(true)),
               pv::kw(st.allow_redirects.get(), pv::boolean(false)), pv::kw(st.hooks.get(), hooks));
}

// self.logger.<level>(format, self.flag, *args): every record starts with the
// flag, and the logger fills in the placeholders itself.
template <class... A>
void log(state& st, const ref& self, const pv::name& level, const char* format, A&&... args) {
    self.attr(st.logger).call_method(level, format, self.attr(st.flag), std::forward<A>(args)...);
}

// ---------------------------------------------------------------- the manager

constexpr const char* class_doc = R"(
    ComfyUI 服务管理工具
    功能：
    - 调用 reboot 接口发起服务重启
    - 轮询 system_stats 接口等待服务恢复
    - 完整流程：重启 + 等待恢复
    )";

ref init(state& st, ref self, ref base_url, ref timeout, ref max_wait_seconds, double poll_interval,
         ref logger) {
    // time.sleep would refuse it only at the first pause (or never end it).
    if (!(poll_interval >= 0) || std::isinf(poll_interval))
        pv::raise_with(PyExc_ValueError, (pv::str("poll_interval 必须是非负的有限数，输入值：") +
                                          ref::steal(PyObject_Repr(pv::real(poll_interval).get())))
                                             .get());
    self.setattr(st.base_url, base_url.call_method("rstrip", "/").get());
    ref stripped = formatted(self.attr(st.base_url));
    self.setattr(st.reboot_api, (stripped + "/api/manager/reboot").get());
    self.setattr(st.stats_api, (stripped + "/api/system_stats").get());
    self.setattr(st.timeout, timeout.get());
    self.setattr(st.max_wait, max_wait_seconds.get());
    self.setattr(st.poll_interval, pv::real(poll_interval).get());
    self.setattr(st.flag, (pv::str("comfyui服务重启 [") + base_url + "]").get());
    if (!logger.truthy())
        logger = st.global(st.logging).attr(st.getLogger)(st.global(st.module_name));
    self.setattr(st.logger, logger.get());
    return pv::none();
}

constexpr const char* trigger_reboot_doc = "发起重启请求，无返回值；远程断开视为下发成功";

// A restarting server drops the connection instead of answering, so every
// outcome of the request is only logged.
ref trigger_reboot(state& st, ref self) {
    bool answered = false;
    pv::try_except(
        [&] {
            http_get(st, self, self.attr(st.reboot_api), self.attr(st.timeout));
            answered = true;
        },
        [&](pv::caught& e) {
            ref text = e.text();
            if (!is_connection_error(st, e)) {
                log(st, self, st.debug, "%s 发起重启请求异常: %s url=%s", text,
                    self.attr(st.reboot_api));
            } else if (pv::check(PyUnicode_Contains(text.get(), st.remote_closed.get()))) {
                log(st, self, st.debug, "%s 服务接收重启指令，主动断开连接，开始等待恢复 url=%s",
                    self.attr(st.reboot_api));
            } else {
                log(st, self, st.debug, "%s 连接异常：%s url=%s", text, self.attr(st.reboot_api));
            }
        });
    if (answered) log(st, self, st.debug, "%s 调用重启接口 url=%s", self.attr(st.reboot_api));
    return pv::none();
}

constexpr const char* wait_service_ready_doc = "轮询检测服务是否恢复，60秒超时";

ref now(state& st) { return st.global(st.time).call_method(st.time); }

// A poll's time-out: `timeout`, or the time left until the limit when that is
// less (a number of seconds, or None for none; anything else is handed on).
ref poll_timeout(state& st, const ref& self, const ref& left) {
    ref timeout = self.attr(st.timeout);
    bool number = PyLong_Check(timeout.get()) || PyFloat_Check(timeout.get());
    return timeout.is_none() || (number && left < timeout) ? left : timeout;
}

// Polls until the server answers 200. The limit is tested before every
// attempt and a poll's time-out ends by the limit, so a call lasts at most
// about max_wait + one pause.
ref wait_service_ready(state& st, ref self) {
    ref start = now(st);
    log(st, self, st.debug, "%s 开始轮询 %s，最长等待 %ss", self.attr(st.stats_api),
        self.attr(st.max_wait));
    for (;;) {
        ref elapsed = now(st) - start;
        ref max_wait = self.attr(st.max_wait);
        if (!(elapsed < max_wait)) break;
        ref timeout = poll_timeout(st, self, max_wait - elapsed);
        ref status;  // set once the server has answered
        bool ready = false;
        pv::try_except(
            [&] {
                ref answer =
                    http_get(st, self, self.attr(st.stats_api), timeout).attr(st.status_code);
                ready = pv::equal(answer, 200);
                status = answer;
            },
            [&](pv::caught& e) {
                ref line = is_connection_error(st, e)
                               ? formatted(self.attr(st.flag)) + " 服务未启动/连接拒绝，等待中..."
                               : formatted(self.attr(st.flag)) + " 请求异常: " + e.text();
                st.global(st.print)(line);
            });
        if (ready) {
            log(st, self, st.debug, "%s 服务已恢复正常，状态码200");
            return pv::boolean(true);
        }
        if (status) log(st, self, st.debug, "%s 接口返回异常状态码 %s，继续等待...", status);
        st.global(st.time).call_method(st.sleep, self.attr(st.poll_interval));
    }
    log(st, self, st.error, "%s 超时 %ss，服务未恢复", self.attr(st.max_wait));
    return pv::boolean(false);
}

// The response hook of both requests: the answer is closed unread, so that
// neither requests nor urllib3 reads, decodes or keeps any of its body.
ref close_unread(state& st, ref response, ref) {
    response.call_method(st.close);
    return pv::none();
}

constexpr const char* run_reboot_and_wait_doc = "完整流程：发起重启 + 等待恢复";

ref run_reboot_and_wait(state& st, ref self) {
    self.call_method(st.trigger_reboot);
    ref ok = self.call_method(st.wait_service_ready);
    if (ok.truthy())
        log(st, self, st.debug, "%s 重启完成，服务正常可用");
    else
        log(st, self, st.error, "%s 重启后超时未恢复");
    return ok;
}

void exec(state& st) {
    st.import_module("time");
    st.import_module("logging");
    st.import_module("requests");
    st.import_from("typing", {"Optional"});

    st.publish(
        "ComfyUIManager",
        pv::class_builder(st, "ComfyUIManager", class_doc)
            .method<init>("__init__", nullptr, kind::str{"base_url", "'http://127.0.0.1:8188'"},
                          kind::integer{"timeout", "5"}, kind::integer{"max_wait_seconds", "60"},
                          kind::real{"poll_interval", "2.0"},
                          kind::any{"logger", "None", "Optional[logging.Logger]"})
            .method<trigger_reboot>("trigger_reboot", trigger_reboot_doc, pv::returns{"None"})
            .method<wait_service_ready>("wait_service_ready", wait_service_ready_doc,
                                        pv::returns{"bool"})
            .method<run_reboot_and_wait>("run_reboot_and_wait", run_reboot_and_wait_doc,
                                         pv::returns{"bool"})
            .static_method<close_unread>("_close_unread", nullptr, kind::any{"response"},
                                         kind::var_keywords{"kwargs"}, pv::returns{"None"})
            .finish());
}

}  // namespace

PRAVEL_MODULE(hostwarden, "pravel.comfyui.hostwarden", state, exec)
