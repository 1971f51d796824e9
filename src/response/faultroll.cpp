// pravel.response.faultroll: error codes defined by host code outside the
// built-in Faultmark table, and the process-wide registry that keeps them.
#include "pravel.hpp"

namespace kind = pv::kind;
using pv::ref;

namespace {

struct state : pv::state_base {
    pv::name code_attr{"_code"}, msg_attr{"_msg"}, registry{"_registry"};
    pv::name CustomFaultmark{"CustomFaultmark"};
};

// ---------------------------------------------------------------- CustomFaultmark

constexpr const char* custom_doc = R"(
    自定义错误码。

    用于定义内置 Faultmark 枚举之外的自定义错误码，
    可直接传给 ServiceResult.fail() 使用。

    用法：
        MY_ERROR = CustomFaultmark("MY_ERROR", "自定义错误消息")
        return ServiceResult.fail(MY_ERROR)
    )";

ref init(state& st, ref self, ref code, ref msg) {
    self.setattr(st.code_attr, code.get());
    self.setattr(st.msg_attr, msg.get());
    return pv::none();
}

ref code(state& st, ref self) { return self.attr(st.code_attr); }
ref msg(state& st, ref self) { return self.attr(st.msg_attr); }

ref repr(state& st, ref self) {
    ref code = self.attr(st.code_attr), msg = self.attr(st.msg_attr);
    return ref::steal(PyUnicode_FromFormat("CustomFaultmark(%R, %R)", code.get(), msg.get()));
}

// ---------------------------------------------------------------- Faultroll

constexpr const char* faultroll_doc = R"(
    错误码注册表。

    提供全局注册和查找自定义错误码的功能。

    用法：
        # 注册
        MY_ERROR = Faultroll.register("MY_ERROR", "自定义错误消息")

        # 查找
        err = Faultroll.get("MY_ERROR")

        # 列出所有
        all_codes = Faultroll.list_all()
    )";

constexpr const char* register_doc = R"(
        注册一个自定义错误码。

        Args:
            code: 错误码标识字符串
            msg: 用户可读的错误描述

        Returns:
            创建的 CustomFaultmark 实例
        )";

constexpr const char* get_doc = R"(
        根据 code 查找已注册的错误码。

        Args:
            code: 错误码标识字符串

        Returns:
            CustomFaultmark 实例或 None
        )";

constexpr const char* list_all_doc = "返回所有已注册的错误码字典。";
constexpr const char* clear_doc = "清空所有注册的错误码（主要用于测试）。";

// Every class method reaches the registry through `cls`, so a subclass
// without a registry of its own shares the base class's dictionary. The
// registry is a plain dict unless host code replaced it; anything else is
// used through its own methods.

ref register_code(state& st, ref cls, ref code, ref msg) {
    ref fault = st.global(st.CustomFaultmark)(code, msg);
    cls.attr(st.registry).setitem(code.get(), fault.get());
    return fault;
}

ref get(state& st, ref cls, ref code) {
    ref registry = cls.attr(st.registry);
    if (!PyDict_CheckExact(registry.get())) return registry.call_method("get", code);
    PyObject* found = PyDict_GetItemWithError(registry.get(), code.get());
    if (!found && PyErr_Occurred()) pv::fail();
    return found ? ref::borrow(found) : pv::none();
}

ref list_all(state& st, ref cls) {
    return ref::borrow(reinterpret_cast<PyObject*>(&PyDict_Type))(cls.attr(st.registry));
}

ref clear(state& st, ref cls) {
    cls.attr(st.registry).call_method("clear");
    return pv::none();
}

void exec(state& st) {
    st.import_from("typing", {"Dict", "Optional"});

    st.publish("CustomFaultmark",
               pv::class_builder(st, "CustomFaultmark", custom_doc)
                   .method<init>("__init__", nullptr, kind::str{"code"}, kind::str{"msg"})
                   .property<code>("code", "str")
                   .property<msg>("msg", "str")
                   .method<repr>("__repr__", nullptr)
                   .finish());

    st.publish("Faultroll",
               pv::class_builder(st, "Faultroll", faultroll_doc)
                   .annotation("_registry", "Dict[str, CustomFaultmark]")
                   .attr("_registry", pv::dict())
                   .class_method<register_code>("register", register_doc, kind::str{"code"},
                                                kind::str{"msg"}, pv::returns{"CustomFaultmark"})
                   .class_method<get>("get", get_doc, kind::str{"code"},
                                      pv::returns{"Optional[CustomFaultmark]"})
                   .class_method<list_all>("list_all", list_all_doc,
                                           pv::returns{"Dict[str, CustomFaultmark]"})
                   .class_method<clear>("clear", clear_doc)
                   .finish());
}

}  // namespace

PRAVEL_MODULE(faultroll, "pravel.response.faultroll", state, exec, pv::interpreters::own_gil)
