// The filter as hobrin_ann.Index passes it to its native part, checked again
// here since the native part is reachable from Python on its own: every node
// a tuple whose first item names its kind, nesting bounded, operands of the
// shapes their operators take.
#include <cmath>
#include <cstring>
#include <string>
#include <variant>

#include "python/hobrin_ann/index_arguments.hpp"
#include "python/runtime/array_view.hpp"
#include "python/runtime/convert.hpp"
#include "python/runtime/metadata.hpp"

namespace hobrin::py {
namespace {

using ann::Expression;
using ann::Op;

constexpr std::size_t kMaxOperands = 65536;  // Python refuses longer lists with the same limit

PyErr malformed(const std::string& what) { return PyErr::type_error("argument 'filter': " + what); }

bool is_nan(const Metadata& value) {
  const auto* number = std::get_if<double>(&value.value);
  return number != nullptr && std::isnan(*number);
}

PyResult<void> check_operands(const Expression& c) {
  const std::size_t count = c.values.size();
  if (count > kMaxOperands)
    return fail(PyErr::value_error("filter on '" + c.attribute + "': too many values"));
  if (!ann::is_ordering(c.op)) return {};
  if (count != (c.op == Op::Between ? 2u : 1u))
    return fail(PyErr::value_error("filter on '" + c.attribute + "': wrong number of bounds"));
  const bool text = std::holds_alternative<std::string>(c.values.front().value);
  for (const Metadata& value : c.values) {
    if (is_nan(value)) return fail(PyErr::value_error("filter on '" + c.attribute + "': a bound is NaN"));
    if (std::holds_alternative<std::string>(value.value) != text)
      return fail(PyErr::type_error("filter on '" + c.attribute + "': bounds mix text and numbers"));
  }
  return {};
}

PyResult<Expression> condition(PyObject* node) {
  if (PyTuple_GET_SIZE(node) != 4) return fail(malformed("a condition is (\"cond\", name, op, [values])"));
  Expression c;
  c.kind = Expression::Kind::Condition;
  HOBRIN_TRY(c.attribute, extract_argument<std::string>(PyTuple_GET_ITEM(node, 1), "filter"));
  HOBRIN_TRY(const auto op, extract_argument<std::uint64_t>(PyTuple_GET_ITEM(node, 2), "filter"));
  if (op > static_cast<std::uint64_t>(Op::Between)) return fail(malformed("unknown operator"));
  c.op = static_cast<Op>(op);
  PyObject* listed = PyTuple_GET_ITEM(node, 3);
  if (!PyList_Check(listed)) return fail(malformed("a condition's values are a list"));
  if (static_cast<std::size_t>(PyList_GET_SIZE(listed)) > kMaxOperands)
    return fail(PyErr::value_error("filter on '" + c.attribute + "': too many values"));
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(listed); ++i) {
    const PyRef item = PyRef::borrow(PyList_GET_ITEM(listed, i));  // held while the list may change
    auto value = to_metadata(item.get());
    if (!value)
      return fail(PyErr::type_error("filter value for '" + c.attribute + "' must be a str, int or float"));
    c.values.push_back(*std::move(value));
  }
  HOBRIN_CHECK(check_operands(c));
  return c;
}

PyResult<Expression> expression(PyObject* node, std::size_t depth);

PyResult<Expression> junction(PyObject* node, Expression::Kind kind, std::size_t depth) {
  if (PyTuple_GET_SIZE(node) != 2) return fail(malformed("a junction is (kind, children)"));
  Expression e;
  e.kind = kind;
  PyObject* children = PyTuple_GET_ITEM(node, 1);
  if (kind == Expression::Kind::Not) {
    HOBRIN_TRY(auto child, expression(children, depth + 1));
    e.children.push_back(std::move(child));
    return e;
  }
  if (!PyList_Check(children) || PyList_GET_SIZE(children) == 0)
    return fail(PyErr::value_error("filter: And and Or take at least one condition"));
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(children); ++i) {
    const PyRef child = PyRef::borrow(PyList_GET_ITEM(children, i));  // held while the list may change
    HOBRIN_TRY(auto parsed, expression(child.get(), depth + 1));
    e.children.push_back(std::move(parsed));
  }
  return e;
}

PyResult<Expression> expression(PyObject* node, std::size_t depth) {
  if (depth > ann::kMaxFilterDepth)
    return fail(PyErr::value_error("filter: nested more than " + std::to_string(ann::kMaxFilterDepth) +
                                   " levels deep"));
  if (!PyTuple_Check(node) || PyTuple_GET_SIZE(node) < 2) return fail(malformed("malformed expression"));
  HOBRIN_TRY(const auto kind, extract_argument<std::string>(PyTuple_GET_ITEM(node, 0), "filter"));
  if (kind == "cond") return condition(node);
  if (kind == "and") return junction(node, Expression::Kind::And, depth);
  if (kind == "or") return junction(node, Expression::Kind::Or, depth);
  if (kind == "not") return junction(node, Expression::Kind::Not, depth);
  if (kind != "ids" || PyTuple_GET_SIZE(node) != 2) return fail(malformed("unknown expression kind"));
  HOBRIN_TRY(auto view, ArrayView::get(PyTuple_GET_ITEM(node, 1), "filter", ItemKind::Int64, 1, false));
  const auto* first = static_cast<const std::int64_t*>(view.data());
  Expression e;
  e.kind = Expression::Kind::Ids;
  e.ids.assign(first, first + view.extent(0));
  return e;
}

}  // namespace

PyResult<std::optional<ann::FilterQuery>> filter_argument(PyObject* object) {
  if (object == Py_None) return std::optional<ann::FilterQuery>();
  HOBRIN_TRY(auto parsed, expression(object, 1));
  return std::optional<ann::FilterQuery>(ann::FilterQuery{std::move(parsed)});
}

PyErr filter_refused(const ann::FilterRefusal& refusal) {
  using Reason = ann::FilterRefusal::Reason;
  if (refusal.reason == Reason::NoSchema)
    return PyErr::value_error("a filter needs an index built with a schema");
  if (refusal.reason == Reason::KindMismatch)
    return PyErr::type_error("filter on '" + refusal.attribute + "' compares " + refusal.detail);
  return PyErr::value_error("filter attribute '" + refusal.attribute + "' is not in the schema");
}

}  // namespace hobrin::py
