// pravel.response.result: the one shape of every answer of the service, a
// dataclass record with success and failure constructors, and the rules that
// turn raw upstream error texts into user-facing messages.
#include "guards.hpp"
#include "pravel.hpp"

#include <string_view>
#include <type_traits>
#include <vector>

namespace kind = pv::kind;
using pv::kw;
using pv::ref;

namespace {

// The default message rules: keywords (lower case) and the Faultmark member
// whose message replaces a match.
struct default_rule {
    const char* code;
    const char* keywords[2];  // unused slots are nullptr
};
constexpr default_rule default_rules[] = {
    {"INSUFFICIENT_BALANCE", {"insufficient balance", "余额不足"}},
    {"TIMEOUT", {"upstream model timed out", nullptr}},
};
constexpr size_t default_rule_count = std::size(default_rules);

struct state : pv::state_base {
    pv::name ServiceResult{"ServiceResult"}, ResultStatus{"ResultStatus"};
    pv::name Faultmark{"Faultmark"}, Enum{"Enum"}, dataclass{"dataclass"}, asdict{"asdict"};
    pv::name error_rules{"_error_rules"}, get_default_rules{"get_default_error_rules"};
    pv::name process{"_process_error_message"}, init{"__init__"}, lower{"lower"};
    pv::name status{"status"}, data{"data"}, code{"code"}, msg{"msg"}, status_code{"status_code"};
    pv::name value{"value"}, raw_value{"_value_"}, SUCCESS{"SUCCESS"}, FAIL{"FAIL"};

    // What the module made while loading. The fast paths below use them only
    // while the module's names and the class still hold exactly these.
    ref result_class, faultmark_class, status_class;
    ref success_status, fail_status;              // ResultStatus.SUCCESS.value, .FAIL.value
    ref code_property, msg_property;              // the faultmark module's own code and msg
    ref default_rules_method;                     // the classmethod object in ServiceResult's dict
    ref process_function;                         // the function under the staticmethod
    pv::guard::function_snapshot generated_init;  // the __init__ dataclass() made
    ref data_default;
    ref default_keywords[default_rule_count];                 // tuples of str
    ref default_members[default_rule_count], success_member;  // members are fixed
    ref unknown_error, empty_args;

    void references(const std::function<void(ref&)>& each) override {
        for (ref* r :
             {&result_class, &faultmark_class, &status_class, &success_status, &fail_status,
              &code_property, &msg_property, &default_rules_method, &process_function,
              &generated_init.function, &generated_init.code, &generated_init.defaults,
              &data_default, &success_member, &unknown_error, &empty_args})
            each(*r);
        for (ref& r : default_keywords) each(r);
        for (ref& r : default_members) each(r);
    }
};

// ---------------------------------------------------------------- documentation

constexpr const char* service_result_doc = R"(
    统一接口返回类。

    用法：
        ServiceResult.success(data)          — 构建成功响应
        ServiceResult.fail(Faultmark.X)      — 构建失败响应
        result.to_dict()                     — 转为字典
    )";

constexpr const char* get_default_rules_doc = R"(
        获取默认的错误消息匹配规则。

        每条规则格式：
        - (关键词列表, Faultmark)              — 匹配时替换为 faultmark.msg
        - (关键词列表, Faultmark, 自定义消息)   — 匹配时替换为自定义消息
        )";

constexpr const char* success_doc = "快速构建成功返回";

constexpr const char* fail_doc = R"(
        快速构建失败返回。

        Args:
            error: Faultmark 枚举成员 或 CustomFaultmark 自定义错误码
            msg: 自定义消息，传 None 则使用 error.msg 默认值
            status_code: HTTP 状态码，默认 500
        )";

constexpr const char* to_dict_doc = "转为字典";

constexpr const char* process_doc = R"(
        统一处理错误消息。

        根据规则自动识别并替换特定错误消息。
        规则格式：
        - (关键词列表, Faultmark)              — 匹配时替换为 faultmark.msg
        - (关键词列表, Faultmark, 自定义消息)   — 匹配时替换为自定义消息
        )";

// ---------------------------------------------------------------- message rules

ref get_default_error_rules(state& st, ref) {
    ref faultmark = st.global(st.Faultmark);
    ref rules = pv::list();
    for (size_t i = 0; i < default_rule_count; ++i) {
        ref keywords = ref::steal(PySequence_List(st.default_keywords[i].get()));
        ref rule = pv::tuple(keywords, faultmark.attr(default_rules[i].code));
        pv::check(PyList_Append(rules.get(), rule.get()));
    }
    return rules;
}

// True when one of `keywords` occurs in `lowered`; the keywords are iterated
// as the rule holds them, and the substring test is the host's `in`.
bool any_keyword_in(PyObject* lowered, PyObject* keywords) {
    return pv::for_each_until(keywords, [&](ref keyword) {
        return pv::check(PySequence_Contains(lowered, keyword.get()));
    });
}

// `error.code` or `error.msg` of an error code. For a Faultmark member, while
// Faultmark's own property is in place, this is what that property returns:
// an element of the member's value, read here without calling it.
ref fault_attr(state& st, const ref& error, const pv::name& name, const ref& property,
               Py_ssize_t index) {
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(error.get()));
    if (property && type == st.faultmark_class.get() && pv::guard::generic_getattr(type) &&
        pv::guard::own_entry(st.faultmark_class.get(), name.get()) == property.get())
        return error.attr(st.raw_value).item(index);
    return error.attr(name);
}

// What a matched rule returns: its custom message, or else its code's msg.
// The result is a str or None, as the method's declared return type allows.
ref replacement(state& st, PyObject* error_code, const ref& custom) {
    ref text = custom && !custom.is_none()
                   ? custom
                   : fault_attr(st, ref::borrow(error_code), st.msg, st.msg_property, 1);
    if (!text.is_none() && !PyUnicode_CheckExact(text.get()))
        pv::raise(PyExc_TypeError, "Expected %s, got %.200s", "str", Py_TYPE(text.get())->tp_name);
    return text;
}

// The default rules apply unchanged while ServiceResult, its
// get_default_error_rules and Faultmark are still the ones this module made.
bool defaults_are_builtin(state& st, const ref& owner) {
    return owner.is(st.result_class.get()) && pv::guard::plain_class(owner.get()) &&
           pv::guard::own_entry(owner.get(), st.get_default_rules.get()) ==
               st.default_rules_method.get() &&
           st.global(st.Faultmark).is(st.faultmark_class.get());
}

// Whether keyword[0, m) occurs in text[0, n), compared code point by code
// point whatever the storage of either.
template <class T, class K>
bool occurs(const T* text, Py_ssize_t n, const K* keyword, Py_ssize_t m) {
    if constexpr (sizeof(T) == 1 && sizeof(K) == 1) {
        auto view = [](const auto* chars, Py_ssize_t size) {
            return std::string_view(reinterpret_cast<const char*>(chars),
                                    static_cast<size_t>(size));
        };
        return view(text, n).find(view(keyword, m)) != std::string_view::npos;
    }
    if (m == 0) return true;
    for (Py_ssize_t i = 0, last = n - m; i <= last; ++i) {
        if (text[i] != keyword[0]) continue;
        Py_ssize_t j = 1;
        while (j < m && text[i + j] == keyword[j]) ++j;
        if (j == m) return true;
    }
    return false;
}

// Whether `text` has a character outside ASCII that lower-casing changes. A
// character whose simple lower-case form is itself is also left alone by the
// full lower-casing of str.lower() (the one longer lower-case form, that of
// U+0130, starts with a different character).
bool has_cased_non_ascii(PyObject* text) {
    if (PyUnicode_IS_ASCII(text)) return false;
    return pv::with_chars(text, [](const auto* chars, Py_ssize_t n) {
        for (Py_ssize_t i = 0; i < n; ++i)
            if (chars[i] >= 0x80 && Py_UNICODE_TOLOWER(chars[i]) != chars[i]) return true;
        return false;
    });
}

// The index of the first default rule matching `msg`, or -1. Only a message
// with cased characters beyond A-Z goes through str.lower(); for any other,
// reading A-Z as a-z gives the same lower-case form without building a str.
int matching_default_rule(state& st, const ref& msg) {
    const ref text = has_cased_non_ascii(msg.get()) ? msg.call_method(st.lower) : msg;
    return pv::with_chars(text.get(), [&](const auto* chars, Py_ssize_t n) {
        using T = std::remove_cv_t<std::remove_pointer_t<decltype(chars)>>;
        T small[256];
        std::vector<T> large;
        T* lowered = n <= 256 ? small : (large.resize(static_cast<size_t>(n)), large.data());
        for (Py_ssize_t i = 0; i < n; ++i)
            lowered[i] = chars[i] >= 'A' && chars[i] <= 'Z' ? static_cast<T>(chars[i] - 'A' + 'a')
                                                            : chars[i];
        auto found = [&](PyObject* keyword) {
            return pv::with_chars(
                keyword, [&](const auto* k, Py_ssize_t m) { return occurs(lowered, n, k, m); });
        };
        for (size_t rule = 0; rule < default_rule_count; ++rule) {
            PyObject* keywords = st.default_keywords[rule].get();
            for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(keywords); ++k)
                if (found(PyTuple_GET_ITEM(keywords, k))) return static_cast<int>(rule);
        }
        return -1;
    });
}

// The message rules; `msg` is exactly a str.
ref process_message(state& st, const ref& msg) {
    if (PyUnicode_GET_LENGTH(msg.get()) == 0) return st.unknown_error;
    // Read from ServiceResult itself, whichever class `fail` was called on.
    ref owner = st.global(st.ServiceResult);
    ref rules = owner.attr(st.error_rules);
    if (!rules.truthy()) {
        if (defaults_are_builtin(st, owner)) {
            const int matched = matching_default_rule(st, msg);
            return matched < 0 ? msg : replacement(st, st.default_members[matched].get(), ref());
        }
        rules = owner.call_method(st.get_default_rules);
    }
    ref lowered = msg.call_method(st.lower);
    ref first = pv::integer(0), second = pv::integer(1), third = pv::integer(2);
    ref found;
    pv::for_each_until(rules.get(), [&](ref rule) {
        ref keywords = rule.item(first.get()), error_code = rule.item(second.get());
        ref custom = rule.size() > 2 ? rule.item(third.get()) : ref();
        if (!any_keyword_in(lowered.get(), keywords.get())) return false;
        found = replacement(st, error_code.get(), custom);
        return true;
    });
    return found ? found : msg;
}

ref process_error_message(state& st, ref msg) { return process_message(st, msg); }

// ---------------------------------------------------------------- records

// ServiceResult itself, unchanged since loading, is built without running its
// generated __init__: that function only assigns the five fields in order
// through the ordinary attribute assignment, which is what happens here.
bool builds_directly(state& st, const ref& cls) {
    return cls.is(st.result_class.get()) && pv::guard::plain_class(cls.get()) &&
           pv::guard::plain_instances(cls.get()) &&
           st.generated_init.matches(pv::guard::own_entry(cls.get(), st.init.get()));
}

// cls(status=..., [data=...,] code=..., msg=..., status_code=...); a null
// `data` is not passed and keeps its default.
ref make_record(state& st, const ref& cls, const ref& status, const ref& data, const ref& code,
                const ref& msg, const ref& status_code) {
    if (builds_directly(st, cls)) {
        auto* type = reinterpret_cast<PyTypeObject*>(cls.get());
        ref record = ref::steal(type->tp_new(type, st.empty_args.get(), nullptr));
        auto assign = [&](const pv::name& field, PyObject* value) {
            pv::check(PyObject_GenericSetAttr(record.get(), field.get(), value));
        };
        assign(st.status, status.get());
        assign(st.data, data ? data.get() : st.data_default.get());
        assign(st.code, code.get());
        assign(st.msg, msg.get());
        assign(st.status_code, status_code.get());
        return record;
    }
    if (data)
        return cls(kw(st.status.get(), status), kw(st.data.get(), data), kw(st.code.get(), code),
                   kw(st.msg.get(), msg), kw(st.status_code.get(), status_code));
    return cls(kw(st.status.get(), status), kw(st.code.get(), code), kw(st.msg.get(), msg),
               kw(st.status_code.get(), status_code));
}

// `ResultStatus.<member>.value`, read at call time. Enumeration members are
// fixed, so for the module's own ResultStatus the value read while loading
// stays valid.
ref status_value(state& st, const pv::name& member, const ref& loaded) {
    ref status = st.global(st.ResultStatus);
    if (status.is(st.status_class.get())) return loaded;
    return status.attr(member).attr(st.value);
}

ref success(state& st, ref cls, ref data, ref msg) {
    ref status = status_value(st, st.SUCCESS, st.success_status);
    ref faultmark = st.global(st.Faultmark);
    ref member =
        faultmark.is(st.faultmark_class.get()) ? st.success_member : faultmark.attr(st.SUCCESS);
    ref code = fault_attr(st, member, st.code, st.code_property, 0);
    return make_record(st, cls, status, data, code, msg, pv::integer(200));
}

ref fail(state& st, ref cls, ref error, ref msg, ref status_code) {
    ref raw = msg.truthy() ? msg : fault_attr(st, error, st.msg, st.msg_property, 1);
    ref hook = cls.attr(st.process);
    ref processed;
    if (hook.is(st.process_function.get())) {
        if (!PyUnicode_CheckExact(raw.get())) pv::raise_arg_type("msg", "str", raw.get());
        processed = process_message(st, raw);
    } else {
        processed = hook(raw);
    }
    ref status = status_value(st, st.FAIL, st.fail_status);
    ref code = fault_attr(st, error, st.code, st.code_property, 0);
    return make_record(st, cls, status, ref(), code, processed, status_code);
}

ref to_dict(state& st, ref self) { return st.global(st.asdict)(self); }

// ---------------------------------------------------------------- loading

// Faultmark's property `name` if it is the one the faultmark module made,
// whose value fault_attr() may read directly; otherwise nothing.
ref faultmark_property(const ref& faultmark_module, const ref& faultmark, const pv::name& name) {
    if (!PyType_Check(faultmark.get())) return ref();
    ref property = ref::borrow(pv::guard::own_entry(faultmark.get(), name.get()));
    if (!property || !PyObject_TypeCheck(property.get(), &PyProperty_Type)) return ref();
    ref getter = property.attr("fget");
    if (!pv::guard::made_by(getter.get(), faultmark_module.get()) ||
        !pv::equal(getter.attr("__name__"), name))
        return ref();
    return property;
}

void exec(state& st) {
    st.import_from("enum", {"Enum"});
    st.import_from("dataclasses", {"dataclass", "asdict"});
    // ClassVar must be a module attribute before dataclass() runs: it
    // recognises the string annotation "ClassVar[...]" through this module.
    st.import_from("typing", {"Optional", "Any", "List", "Tuple", "ClassVar", "Union"});
    ref faultmark_module = st.import_from("faultmark", {"Faultmark"}, 1);
    st.import_from("faultroll", {"CustomFaultmark"}, 1);

    ref result_status =
        pv::class_builder(st, "ResultStatus", "接口返回状态枚举",
                          {reinterpret_cast<PyObject*>(&PyUnicode_Type), st.global(st.Enum).get()})
            .attr("SUCCESS", pv::str("success"))
            .attr("FAIL", pv::str("fail"))
            .attr("WAIT", pv::str("wait"))
            .finish();
    st.publish("ResultStatus", result_status);

    ref faultmark = st.global(st.Faultmark);
    ref record =
        pv::class_builder(st, "ServiceResult", service_result_doc)
            .annotation("status", "str")
            .attr("status", result_status.attr("WAIT").attr(st.value))
            .annotation("data", "Optional[Any]")
            .attr("data", pv::none())
            .annotation("code", "str")
            .attr("code", faultmark.attr(st.SUCCESS).attr(st.code))
            .annotation("msg", "str")
            .attr("msg", pv::str(""))
            .annotation("status_code", "int")
            .attr("status_code", pv::integer(400))
            .annotation("_error_rules", "ClassVar[Optional[List[Tuple]]]")
            .attr("_error_rules", pv::none())
            .class_method<get_default_error_rules>("get_default_error_rules", get_default_rules_doc,
                                                   pv::returns{"List[Tuple]"})
            .class_method<success>("success", success_doc, kind::any{"data", nullptr, "Any"},
                                   kind::str{"msg", "'success'"}, pv::returns{"ServiceResult"})
            .class_method<fail>("fail", fail_doc,
                                kind::any{"error", nullptr, "Union[Faultmark, CustomFaultmark]"},
                                kind::any{"msg", "None"}, kind::integer{"status_code", "500"},
                                pv::returns{"ServiceResult"})
            .method<to_dict>("to_dict", to_dict_doc, pv::returns{"dict"})
            .static_method<process_error_message>("_process_error_message", process_doc,
                                                  kind::str{"msg"}, pv::returns{"str"})
            .finish();
    record = st.global(st.dataclass)(record);
    st.publish("ServiceResult", record);
    // The shape of to_dict's answer, for type checkers and response models.
    st.publish("ResultDict", pv::typed_dict(st, "ResultDict", "to_dict 的返回值",
                                            {{"status", "str"},
                                             {"data", "Any"},
                                             {"code", "str"},
                                             {"msg", "str"},
                                             {"status_code", "int"}}));

    // The objects the fast paths compare against.
    st.result_class = record;
    st.faultmark_class = faultmark;
    st.status_class = result_status;
    st.success_status = result_status.attr(st.SUCCESS).attr(st.value);
    st.fail_status = result_status.attr(st.FAIL).attr(st.value);
    st.code_property = faultmark_property(faultmark_module, faultmark, st.code);
    st.msg_property = faultmark_property(faultmark_module, faultmark, st.msg);
    st.default_rules_method =
        ref::borrow(pv::guard::own_entry(record.get(), st.get_default_rules.get()));
    st.process_function = record.attr(st.process);
    // The generated __init__ takes every field with its default; `data` is second.
    PyObject* init = pv::guard::own_entry(record.get(), st.init.get());
    auto generated = pv::guard::function_snapshot::of(init);
    if (generated.defaults) {
        st.data_default = generated.defaults.item(1);
        st.generated_init = std::move(generated);
    }
    for (size_t i = 0; i < default_rule_count; ++i) {
        const default_rule& rule = default_rules[i];
        st.default_keywords[i] = rule.keywords[1] ? pv::tuple(rule.keywords[0], rule.keywords[1])
                                                  : pv::tuple(rule.keywords[0]);
        st.default_members[i] = faultmark.attr(rule.code);
    }
    st.success_member = faultmark.attr(st.SUCCESS);
    st.unknown_error = pv::str("未知错误");
    st.empty_args = ref::steal(PyTuple_New(0));
}

}  // namespace

PRAVEL_MODULE(result, "pravel.response.result", state, exec, pv::interpreters::own_gil)
