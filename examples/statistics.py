"""Reductions, order statistics and correlation with lumivander."""
import lumivander as lv
from lumivander import stats

a = lv.Array([2, 3], [4.0, 1.0, 3.0, 2.0, 6.0, 5.0])
print("a                =", a.tolist())
print("sum, mean        =", a.sum(), a.mean())
print("var, std         =", a.var(), a.std(), "(population variance, divisor n)")
print("median           =", a.median(), " same as stats.median(a):", stats.median(a))
print("quantile(0.25)   =", a.quantile(0.25))
print("quantiles        =", a.quantile(lv.asarray([0.1, 0.5, 0.9])).tolist())
print("any, all         =", a.any(), a.all())

# Every sum adds left to right from -0.0: the order is part of the result.
x = lv.asarray([1e16, 1.0, -1e16] * 3)
print("ordered sum      =", x.sum(), " (a pairwise sum can differ)")
print("empty sum        =", lv.zeros([0]).sum())

# Signed zeros keep their input order in order statistics.
print("quantile(0) of [0.0, -0.0] =", lv.asarray([0.0, -0.0]).quantile(0.0))
print("quantile(0) of [-0.0, 0.0] =", lv.asarray([-0.0, 0.0]).quantile(0.0))

x = lv.asarray([1, 2, 2, 3, 7])
y = lv.asarray([1, 4, 9, 16, 49])
print("pearson          =", stats.pearson(x, y))
print("spearman         =", stats.spearman(x, y), "(ties share average ranks)")
