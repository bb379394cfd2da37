// Keeps the support library non-empty before any shared fake exists.
namespace tvr_test { int support_anchor = 0; }
