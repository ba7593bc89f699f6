"""Griffe extension for the API reference: overloaded functions of a stub.

A stub declares an overloaded function by its overloads alone (an implementation
is not allowed there), and griffe keeps overloads aside until an implementation
claims them, so such a function would vanish from the reference. Here a stand-in
for the missing implementation carries every overload, the first docstring among
them, and for each parameter (and the result) the union of the overloads' types,
which the parameter table shows; the signatures shown are the overloads'
(`overloads_only`).
"""

import griffe


class StubOverloads(griffe.Extension):
    def on_class_members(self, *, cls: griffe.Class, **kwargs: object) -> None:
        adopt(cls)

    def on_module_members(self, *, mod: griffe.Module, **kwargs: object) -> None:
        adopt(mod)


def adopt(parent: griffe.Module | griffe.Class) -> None:
    for name, overloads in list(parent.overloads.items()):
        if not overloads or name in parent.members:
            continue
        documented = [f for f in overloads if f.docstring] or overloads
        first = documented[0]
        parameters = griffe.Parameters(*(
            griffe.Parameter(p.name, kind=p.kind, default=p.default,
                             annotation=union(f.parameters[p.name].annotation for f in overloads))
            for p in first.parameters))
        parent.set_member(name, griffe.Function(
            name, lineno=first.lineno, endlineno=first.endlineno, parameters=parameters,
            returns=union(f.returns for f in overloads),
            decorators=[d for d in first.decorators if d.callable_path != "typing.overload"],
            docstring=first.docstring, parent=parent))
        parent.members[name].overloads = overloads
        del parent.overloads[name]


def union(annotations):
    distinct = list(dict.fromkeys(str(a) for a in annotations if a is not None))
    return " | ".join(distinct) or None
