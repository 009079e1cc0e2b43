"""A first look at lumivander arrays."""
import lumivander as lv

a = lv.Array([2, 3], [1, 2, 3, 4, 5, 6])
print("a          =", a)
print("a.shape    =", a.shape, " len(a) =", len(a))
print("a + [10, 20, 30] =", a + lv.asarray([10, 20, 30]))
print("2 - a      =", 2 - a)
print("a[1]       =", a[1], " a[0, 2] =", a[0, 2])
print("a.sqrt()   =", a.sqrt())
print("eye(3, k=1) =", lv.eye(3, k=1).tolist())
print("column_stack =", lv.column_stack([lv.asarray([1, 2]), lv.asarray([3, 4])]).tolist())
print("tiny, huge, signed zero, nan:", lv.asarray([1.5e-5, 1e16, -0.0, float("nan")]))
