"""Imports the installed module and runs one query of each kind."""

import pathlib

import Corvalex
from Corvalex import Index, Indexable, PyQueryExpr as Q

apple = Indexable(name="apple", colour="red", weight=180)
lime = Indexable(name="lime", colour="green", weight=60)
index = Index()
index.add_object_many([apple, lime])
assert index.get_by_attribute(colour="red") == [apple]
assert index.reduced_query(Q.lt("weight", 100)).rebase().collect() == [lime]
location = pathlib.Path(Corvalex.__file__).parent
assert (location / "Corvalex.pyi").is_file() and (location / "Corvalex-stubs").is_dir()
print("smoke test passed:", Corvalex.__file__)
