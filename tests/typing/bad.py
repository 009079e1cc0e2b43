"""Wrong calls the stubs must reject: each marked line is one mypy error."""
import lumivander as lv

a = lv.Array([2], [1.0, 2.0])
lv.zeros(3)  # E: arg-type
a.clip(0.0)  # E: call-arg
a.shape = [3]  # E: misc
x: str = a.get([0])  # E: assignment
lv.random.Generator.from_seed(1.5)  # E: arg-type
a.no_such_method()  # E: attr-defined
z = "text" * a  # E: operator
lv.Generator(5)  # E: call-arg
lv.spatial.VPTree.from_array([[1.0]])  # E: arg-type
q: list[float] = lv.KDTree.from_array(a).query_knn(0.5, 1)  # E: assignment
w: float = a.quantile(lv.asarray([0.5]))  # E: assignment
single: lv.Array = lv.linalg.qr(a)  # E: assignment
one: lv.Array = lv.KDTree.from_array(a).kernel_density([0.5])  # E: assignment
