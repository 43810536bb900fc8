// Heap types from declarative specs, with a per-instance borrow flag.
//
// Each Python instance owns one C++ value T. ClassDef<T> assembles the type:
//
//   ClassDef<Segmenter>("PyAudienceSegmenter")
//       .constructor<SegmenterNew>()     // struct: signature, raises, static T create(Args&)
//       .method<Fit>()                   // struct: signature "fit($self, data)", raises,
//                                        //   access (Exclusive/Shared/Static), call(...)
//       .property<&Segmenter::n_jobs>("n_jobs")
//       .repr<&segmenter_repr>()
//       .build();
//
// Without a constructor the class cannot be instantiated from Python. Properties
// are read-only and return fresh objects. Mutating methods take the instance
// exclusively, readers share it; a conflict raises RuntimeError "Already borrowed"
// (exclusive request) or "Already mutably borrowed" (shared request while a writer
// holds it). The flag is atomic: a call that computes without the interpreter
// lock (unlocked.hpp) keeps its borrow meanwhile, and a conflicting call from
// another thread is refused the same way. Types cannot be subclassed and are
// created once per process.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "text.hpp"
#include "python/toolkit/function.hpp"
#include "python/toolkit/pickling.hpp"

namespace segmora::py {

enum class Access { Shared, Exclusive, Static };

// 0 free, > 0 readers, -1 a writer.
using BorrowFlag = std::atomic<Py_ssize_t>;
static_assert(BorrowFlag::is_always_lock_free);

template <class T>
struct Instance {
    PyObject_HEAD
    BorrowFlag borrow;
    T value;
};

// The type object of T's class, set once when the class is built.
template <class T>
inline PyTypeObject* class_type = nullptr;

// Holds a shared or exclusive borrow of one instance for a scope.
// Taking a borrow acquires what the last writer released, so a reader on
// another thread sees every change a writer made without the lock.
class BorrowGuard {
public:
    BorrowGuard(BorrowFlag& flag, Access access) : flag_(&flag), exclusive_(access == Access::Exclusive) {
        Py_ssize_t seen = flag.load(std::memory_order_relaxed);
        if (exclusive_) {
            if (seen != 0 || !flag.compare_exchange_strong(seen, -1, std::memory_order_acquire))
                raise(PyExc_RuntimeError, "Already borrowed");
        } else {
            do {
                if (seen < 0) raise(PyExc_RuntimeError, "Already mutably borrowed");
            } while (!flag.compare_exchange_weak(seen, seen + 1, std::memory_order_acquire, std::memory_order_relaxed));
        }
    }
    ~BorrowGuard() {
        if (exclusive_) flag_->store(0, std::memory_order_release);
        else flag_->fetch_sub(1, std::memory_order_release);
    }
    BorrowGuard(const BorrowGuard&) = delete;
    BorrowGuard& operator=(const BorrowGuard&) = delete;

private:
    BorrowFlag* flag_;
    bool exclusive_;
};

template <class T>
Instance<T>* instance_of(PyObject* self) noexcept {
    return reinterpret_cast<Instance<T>*>(self);
}

// A new instance of `type` owning `value`.
template <class T>
Ref wrap_as(PyTypeObject* type, T&& value) {
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    Ref obj = Ref::steal(alloc(type, 0));
    auto* inst = instance_of<T>(obj.get());
    new (&inst->borrow) BorrowFlag(0);
    new (&inst->value) T(std::move(value));
    return obj;
}

// A new instance of T's class owning `value`.
template <class T>
Ref wrap(T value) {
    return wrap_as<T>(class_type<T>, std::move(value));
}

// A new instance of `type` whose value `make()` (returning T) builds in place,
// without a copy or move. If `make` throws, the instance's memory is released
// and the exception passes on.
template <class T, class Make>
Ref wrap_built(PyTypeObject* type, Make&& make) {
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    Ref obj = Ref::steal(alloc(type, 0));
    auto* inst = instance_of<T>(obj.get());
    new (&inst->borrow) BorrowFlag(0);
    try {
        new (&inst->value) T(make());
    } catch (...) {
        // No value to destroy: free the memory as the type's dealloc would.
        auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
        free_fn(obj.release());
        Py_DECREF(type);
        throw;
    }
    return obj;
}

// A text given as a template argument ("linear()").
template <std::size_t N>
struct FixedText {
    char value[N];
    constexpr FixedText(const char (&text)[N]) {
        for (std::size_t i = 0; i < N; ++i) value[i] = text[i];
    }
};

// A static method returning one fixed value of an exposed enumeration, e.g.
// using Linear = MakeValue<DecayFunction::Linear, "linear()", "Linear decay: ...">.
template <auto Value, FixedText Signature, FixedText Doc = "">
struct MakeValue {
    static constexpr const char* signature = Signature.value;
    static constexpr const char* doc = Doc.value;
    static constexpr Raises raises = Raises::ValueError;
    static constexpr Access access = Access::Static;
    static Ref call(Args&) { return wrap(Value); }
};

// An argument that must be an instance of T's class, borrowed for the call:
// shared (read only) by default, or exclusively for a function that changes it.
template <class T, Access A = Access::Shared>
class Borrowed {
    static_assert(A != Access::Static);
    using Value = std::conditional_t<A == Access::Exclusive, T, const T>;

public:
    Borrowed(PyObject* obj, const char* arg) : ref_(Ref::borrow(obj)) {
        if (!PyObject_TypeCheck(obj, class_type<T>)) {
            raise_argument(PyExc_TypeError, arg,
                           segmora::format("'{}' object cannot be converted to '{}'", type_name(obj), type_short_name()));
        }
        guard_ = std::make_unique<BorrowGuard>(instance_of<T>(obj)->borrow, A);
    }
    Value& operator*() const noexcept { return instance_of<T>(ref_.get())->value; }
    Value* operator->() const noexcept { return &**this; }
    PyObject* object() const noexcept { return ref_.get(); }

private:
    static std::string type_short_name() {
        Ref name = Ref::steal(PyType_GetName(class_type<T>));
        const char* text = PyUnicode_AsUTF8AndSize(name.get(), nullptr);
        return text ? text : "?";
    }
    Ref ref_;
    std::unique_ptr<BorrowGuard> guard_;
};

template <class T, Access A>
struct From<Borrowed<T, A>> {
    static Borrowed<T, A> convert(PyObject* obj, const char* arg) { return Borrowed<T, A>(obj, arg); }
};

namespace detail {

template <class T>
void dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    instance_of<T>(self)->value.~T();
    auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_fn(self);
    Py_DECREF(type);
}

template <class T, class M>
inline const Signature* method_signature = nullptr;

template <class T, class M>
PyObject* method_trampoline(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded(M::raises, [&] {
        Args parsed(*method_signature<T, M>, args, nargs, kwnames);
        if constexpr (M::access == Access::Static) {
            return M::call(parsed);
        } else {
            auto* inst = instance_of<T>(self);
            BorrowGuard guard(inst->borrow, M::access);
            if constexpr (M::access == Access::Exclusive) return M::call(inst->value, parsed);
            else return M::call(std::as_const(inst->value), parsed);
        }
    });
}

template <class T, class C>
inline const Signature* constructor_signature = nullptr;

template <class T, class C>
PyObject* constructor_trampoline(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded(C::raises, [&] {
        Args parsed(*constructor_signature<T, C>, args, kwargs);
        T value = C::create(parsed);
        return wrap_as<T>(type, std::move(value));
    });
}

template <class T, auto Getter>
PyObject* getter_trampoline(PyObject* self, void*) {
    return guarded(Raises::RuntimeError, [&] {
        auto* inst = instance_of<T>(self);
        BorrowGuard guard(inst->borrow, Access::Shared);
        if constexpr (std::is_member_object_pointer_v<decltype(Getter)>) return to_py(inst->value.*Getter);
        else return to_py(Getter(std::as_const(inst->value)));
    });
}

template <class T, std::string (*Fn)(const T&)>
PyObject* repr_trampoline(PyObject* self) {
    return guarded(Raises::RuntimeError, [&] {
        auto* inst = instance_of<T>(self);
        BorrowGuard guard(inst->borrow, Access::Shared);
        return to_py(Fn(std::as_const(inst->value)));
    });
}

// The Python name of T's class ("PyRFMConfig"), set by ClassDef::pickle.
template <class T>
inline const char* class_name = nullptr;

template <class T, class Codec>
PyObject* reduce_trampoline(PyObject* self, PyObject*) {
    return guarded(Raises::RuntimeError, [&] {
        auto* inst = instance_of<T>(self);
        BorrowGuard guard(inst->borrow, Access::Shared);
        return reduce_value(class_name<T>, Codec::version, Codec::save(std::as_const(inst->value)));
    });
}

template <class T, class Codec>
PyObject* from_state_trampoline(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return guarded(Raises::ValueError, [&] {
        if (nargs != 2) raise(PyExc_TypeError, "_from_state() takes exactly 2 arguments");
        T value = restore_checked(class_name<T>, Codec::version, args[0], [&] { return Codec::load(args[1]); });
        return wrap(std::move(value));
    });
}

// Definitions a type points at for its whole life.
struct TypeStorage {
    std::string qualified_name;
    std::string doc;
    std::vector<std::unique_ptr<std::string>> strings;
    std::vector<std::unique_ptr<Signature>> signatures;
    std::vector<PyMethodDef> methods;
    std::vector<PyGetSetDef> getsets;
    std::vector<PyType_Slot> slots;
};

}  // namespace detail

template <class T>
class ClassDef {
public:
    explicit ClassDef(std::string name, std::string doc = {}) : storage_(new detail::TypeStorage), name_(std::move(name)) {
        storage_->qualified_name = "segmora." + name_;
        storage_->doc = std::move(doc);
    }

    template <class C>
    ClassDef& constructor() {
        auto& sig = keep(std::make_unique<Signature>(C::signature));
        detail::constructor_signature<T, C> = &sig;
        std::string doc = sig.docstring(doc_of<C>());
        if (!storage_->doc.empty()) doc += storage_->doc;
        storage_->doc = std::move(doc);
        storage_->slots.push_back({Py_tp_new, reinterpret_cast<void*>(&detail::constructor_trampoline<T, C>)});
        has_constructor_ = true;
        return *this;
    }

    template <class M>
    ClassDef& method() {
        auto& sig = keep(std::make_unique<Signature>(M::signature, name_ + "."));
        detail::method_signature<T, M> = &sig;
        const std::string& doc = keep_string(sig.docstring(doc_of<M>()));
        int flags = METH_FASTCALL | METH_KEYWORDS;
        if constexpr (M::access == Access::Static) flags |= METH_STATIC;
        storage_->methods.push_back(
            {sig.name().c_str(),
             reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(&detail::method_trampoline<T, M>)), flags,
             doc.c_str()});
        return *this;
    }

    // Pickling and copying through a versioned state (see pickling.hpp).
    template <class Codec>
    ClassDef& pickle() {
        detail::class_name<T> = keep_string(name_).c_str();
        storage_->methods.push_back({"__reduce__", reinterpret_cast<PyCFunction>(&detail::reduce_trampoline<T, Codec>),
                                     METH_NOARGS, "__reduce__($self, /)\n--\n\nThe state pickle and copy use."});
        storage_->methods.push_back(
            {"_from_state",
             reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(&detail::from_state_trampoline<T, Codec>)),
             METH_FASTCALL | METH_STATIC,
             "_from_state(version, state)\n--\n\nRebuilds an instance from a pickled state; ValueError if damaged."});
        return *this;
    }

    template <auto Getter>
    ClassDef& property(const char* name, const char* doc = nullptr) {
        storage_->getsets.push_back({name, &detail::getter_trampoline<T, Getter>, nullptr, doc, nullptr});
        return *this;
    }

    template <std::string (*Fn)(const T&)>
    ClassDef& repr() {
        storage_->slots.push_back({Py_tp_repr, reinterpret_cast<void*>(&detail::repr_trampoline<T, Fn>)});
        return *this;
    }

    // Creates the type object (once per process) and returns it (borrowed).
    PyTypeObject* build() {
        auto& s = *storage_;
        s.methods.push_back({nullptr, nullptr, 0, nullptr});
        s.getsets.push_back({nullptr, nullptr, nullptr, nullptr, nullptr});
        s.slots.push_back({Py_tp_dealloc, reinterpret_cast<void*>(&detail::dealloc<T>)});
        s.slots.push_back({Py_tp_methods, s.methods.data()});
        s.slots.push_back({Py_tp_getset, s.getsets.data()});
        if (!s.doc.empty()) s.slots.push_back({Py_tp_doc, const_cast<char*>(s.doc.c_str())});
        s.slots.push_back({0, nullptr});
        unsigned int flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE;  // attributes cannot be replaced
        if (!has_constructor_) flags |= Py_TPFLAGS_DISALLOW_INSTANTIATION;
        PyType_Spec spec{s.qualified_name.c_str(), static_cast<int>(sizeof(Instance<T>)), 0, flags, s.slots.data()};
        PyObject* type = PyType_FromSpec(&spec);
        if (!type) throw PyErrorAlreadySet{};
        storage_.release();  // the type refers to it for the life of the process
        class_type<T> = reinterpret_cast<PyTypeObject*>(type);
        return class_type<T>;
    }

private:
    const Signature& keep(std::unique_ptr<Signature> sig) {
        storage_->signatures.push_back(std::move(sig));
        return *storage_->signatures.back();
    }
    const std::string& keep_string(std::string text) {
        storage_->strings.push_back(std::make_unique<std::string>(std::move(text)));
        return *storage_->strings.back();
    }

    std::unique_ptr<detail::TypeStorage> storage_;
    std::string name_;
    bool has_constructor_ = false;
};

// The type of T's class, built by `make` on first use and kept for the process.
template <class T>
PyTypeObject* type_once(PyTypeObject* (*make)()) {
    if (!class_type<T>) make();
    return class_type<T>;
}

}  // namespace segmora::py
