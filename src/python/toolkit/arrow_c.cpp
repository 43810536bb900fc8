#include "python/toolkit/arrow_c.hpp"

#include <cstring>
#include <limits>
#include <string>
#include <string_view>

#include "text.hpp"

namespace segmora::py::arrow {

namespace {

// How a format lays out its buffers.
enum class Layout { Null, Bits, Fixed, Offsets32, Offsets64, Views, Struct, List32, List64, FixedList, Other };

struct Shape {
    Layout layout = Layout::Other;
    int buffers = 0;   // including the validity buffer
    int children = 0;  // -1: as many as the schema has
};

Shape shape_of(std::string_view f) {
    if (f == "n") return {Layout::Null, 0, 0};
    if (f == "b") return {Layout::Bits, 2, 0};
    if (f.size() == 1 && std::string_view("cCsSiIlLefg").find(f[0]) != std::string_view::npos) return {Layout::Fixed, 2, 0};
    if (f == "z" || f == "u") return {Layout::Offsets32, 3, 0};
    if (f == "Z" || f == "U") return {Layout::Offsets64, 3, 0};
    if (f == "vz" || f == "vu") return {Layout::Views, -1, 0};
    if (f.starts_with("w:") || f.starts_with("d:")) return {Layout::Fixed, 2, 0};
    if (f.size() >= 3 && f[0] == 't' && std::string_view("dtsDi").find(f[1]) != std::string_view::npos) return {Layout::Fixed, 2, 0};
    if (f == "+s") return {Layout::Struct, 1, -1};
    if (f == "+l") return {Layout::List32, 2, 1};
    if (f == "+L") return {Layout::List64, 2, 1};
    if (f.starts_with("+w:")) return {Layout::FixedList, 1, 1};
    return {};
}

class Validator {
public:
    explicit Validator(const char* arg) : arg_(arg) {}

    void check(const ArrowSchema& schema, const ArrowArray& a, int depth) {
        if (depth > 64) fail("nested more than 64 levels deep");
        if (!schema.format) fail("the schema has no format");
        const std::string_view f = schema.format;
        if (a.length < 0) fail(segmora::format("length {} is negative", a.length));
        if (a.offset < 0) fail(segmora::format("offset {} is negative", a.offset));
        if (a.offset > std::numeric_limits<std::int64_t>::max() - a.length)
            fail(segmora::format("offset {} plus length {} overflows", a.offset, a.length));
        if (a.null_count < -1 || a.null_count > a.length) fail(segmora::format("null count {} is not within the length {}", a.null_count, a.length));
        if (a.n_buffers < 0 || a.n_children < 0) fail("a negative count of buffers or children");
        if (a.n_buffers > 0 && !a.buffers) fail("no buffer list");
        if (a.n_children > 0 && !a.children) fail("no child list");
        if (schema.n_children < 0 || (schema.n_children > 0 && !schema.children)) fail("the schema's children are malformed");
        if (schema.dictionary) {
            if (!a.dictionary) fail(segmora::format("format '{}' is dictionary-encoded but the array has no dictionary", f));
            check(*schema.dictionary, *a.dictionary, depth + 1);
        }
        const Shape shape = shape_of(f);
        if (shape.layout == Layout::Other) return;  // no reader takes it: refused by type, its buffers never read
        if (shape.buffers >= 0 && a.n_buffers != shape.buffers)
            fail(segmora::format("format '{}' needs {} buffers, got {}", f, shape.buffers, a.n_buffers));
        const std::int64_t children = shape.children < 0 ? schema.n_children : shape.children;
        if (a.n_children != children || schema.n_children != children)
            fail(segmora::format("format '{}' needs {} children, the array has {} and the schema {}", f, children, a.n_children,
                        schema.n_children));
        if (shape.layout != Layout::Null && a.null_count != 0 && a.null_count != -1 && !a.buffers[0])
            fail(segmora::format("{} nulls but no validity buffer", a.null_count));
        const std::int64_t end = a.offset + a.length;
        switch (shape.layout) {
            case Layout::Bits:
            case Layout::Fixed:
                if (a.length > 0 && !a.buffers[1]) fail("the data buffer is null");
                break;
            case Layout::Offsets32: offsets<std::int32_t>(a, end, true); break;
            case Layout::Offsets64: offsets<std::int64_t>(a, end, true); break;
            case Layout::List32: offsets<std::int32_t>(a, end, false); break;
            case Layout::List64: offsets<std::int64_t>(a, end, false); break;
            case Layout::Views: views(a, end); break;
            default: break;
        }
        const std::int64_t last_offset = last_offset_;  // the children's checks reuse it
        for (std::int64_t j = 0; j < children; ++j) {
            const ArrowSchema* child_schema = schema.children[j];
            const ArrowArray* child = a.children[j];
            if (!child_schema || !child) fail(segmora::format("child {} is null", j));
            check(*child_schema, *child, depth + 1);
            if (shape.layout == Layout::Struct && child->length < end)
                fail(segmora::format("child {} has {} rows, fewer than offset plus length {}", j, child->length, end));
            if (shape.layout == Layout::List32 || shape.layout == Layout::List64) {
                if (child->length < last_offset)
                    fail(segmora::format("the child has {} rows, fewer than the last offset {}", child->length, last_offset));
            }
            if (shape.layout == Layout::FixedList) {
                const std::string_view size_text = f.substr(3);
                std::int64_t size = 0;
                for (char c : size_text) size = c >= '0' && c <= '9' && size < (std::int64_t{1} << 40) ? size * 10 + (c - '0') : -1;
                if (size < 0 || (end > 0 && child->length / end < size)) fail("the child is shorter than the fixed lists need");
            }
        }
    }

private:
    [[noreturn]] void fail(const std::string& rule) const {
        raise(PyExc_ValueError, segmora::format("{}: malformed Arrow array: {}", arg_, rule));
    }

    // Offsets [offset, offset + length] start at 0 or more and never decrease;
    // a data buffer (strings) must be present when they span any bytes.
    template <class Offset>
    void offsets(const ArrowArray& a, std::int64_t end, bool data) {
        last_offset_ = 0;
        if (a.length == 0 && !a.buffers[1]) return;
        if (!a.buffers[1]) fail("the offsets buffer is null");
        const auto* base = static_cast<const char*>(a.buffers[1]);
        Offset previous;
        std::memcpy(&previous, base + a.offset * static_cast<std::int64_t>(sizeof(Offset)), sizeof(Offset));
        if (previous < 0) fail(segmora::format("the first offset {} is negative", static_cast<std::int64_t>(previous)));
        const Offset first = previous;
        for (std::int64_t i = a.offset + 1; i <= end; ++i) {
            Offset next;
            std::memcpy(&next, base + i * static_cast<std::int64_t>(sizeof(Offset)), sizeof(Offset));
            if (next < previous) fail(segmora::format("offset {} ({}) is below the one before it ({})", i, static_cast<std::int64_t>(next), static_cast<std::int64_t>(previous)));
            previous = next;
        }
        last_offset_ = static_cast<std::int64_t>(previous);
        if (data && previous > first && !a.buffers[2]) fail("the data buffer is null");
    }

    // 16-byte views: a length (0 or more), then either up to 12 inline bytes
    // or a prefix, a variadic buffer index and an offset, which with the length
    // must stay within that buffer's recorded size (the last buffer holds them).
    void views(const ArrowArray& a, std::int64_t end) {
        if (a.n_buffers < 3) fail(segmora::format("format 'vu' needs at least 3 buffers, got {}", a.n_buffers));
        if (a.length > 0 && !a.buffers[1]) fail("the views buffer is null");
        const std::int64_t variadic = a.n_buffers - 3;
        const void* sizes = a.buffers[a.n_buffers - 1];
        if (variadic > 0 && !sizes) fail("the variadic buffer sizes are missing");
        const auto* base = static_cast<const char*>(a.buffers[1]);
        for (std::int64_t i = a.offset; i < end; ++i) {
            if (a.null_count != 0 && a.buffers[0] && !bit_set(a.buffers[0], i)) continue;  // a null's view is not read
            const char* view = base + i * 16;
            std::int32_t length, buffer, offset;
            std::memcpy(&length, view, 4);
            if (length < 0) fail(segmora::format("view {} has a negative length {}", i, length));
            if (length <= 12) continue;
            std::memcpy(&buffer, view + 8, 4);
            std::memcpy(&offset, view + 12, 4);
            if (buffer < 0 || buffer >= variadic)
                fail(segmora::format("view {} names buffer {} of {}", i, buffer, variadic));
            if (!a.buffers[2 + buffer]) fail(segmora::format("variadic buffer {} is null", buffer));
            std::int64_t size;
            std::memcpy(&size, static_cast<const char*>(sizes) + 8 * buffer, 8);
            if (offset < 0 || static_cast<std::int64_t>(offset) + length > size)
                fail(segmora::format("view {} ends at {}, past the {} bytes of buffer {}", i, static_cast<std::int64_t>(offset) + length,
                            size, buffer));
        }
    }

    const char* arg_;
    std::int64_t last_offset_ = 0;
};

}  // namespace

void validate(const ArrowSchema& schema, const ArrowArray& array, const char* arg) {
    Validator(arg).check(schema, array, 0);
}

}  // namespace segmora::py::arrow
