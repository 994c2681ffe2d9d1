"""Blind indexes of sealed Django fields: their index fields, lookups and rebuild.

A sealed field given `blind=[qv.BlindIndex(...)]` adds one BlindIndexField
per index to its model, named after the index: a CharField of the index's hex
digits with a database index, filled from the plaintext whenever the row is
saved. `save(update_fields=...)`, `QuerySet.bulk_update` and `QuerySet.update`
that name a sealed field are widened here to write its indexes too (for
models with blind indexes only). An update giving an expression instead of a
plain value (as qv_rotate does with the new token) leaves the indexes alone.

Lookups: `field__blind=value` finds the rows holding exactly `value` (after
the index's transform): the candidates are found through the index column,
opened, and the false positives dropped; `field__blind_candidates=value`
lets the database alone answer, false positives included. With several
indexes on a field, name one with `Blind(value, index="name")`.
"""

from __future__ import annotations

import functools
from dataclasses import dataclass
from typing import Any

from django.core.exceptions import EmptyResultSet
from django.db import models, transaction
from django.db.models import Lookup, QuerySet
from django.db.models.signals import class_prepared

from qv import _sealed
from qv._sealed import SealedQueryError
from qv.blind import BlindIndex, BlindIndexError, check_set

__all__ = ["Blind", "BlindIndexField", "RebuildResult", "rebuild"]


@dataclass(frozen=True)
class Blind:
    """A blind lookup's value naming which index of the field to search."""

    value: Any
    index: str | None = None


@dataclass
class RebuildResult:
    """What rebuild did: index values written, already right, rows that did not open."""

    rebuilt: int = 0
    current: int = 0
    failed: int = 0
    last_pk: Any = None


class BlindIndexField(models.CharField):
    """The column of one blind index, filled from its sealed field on every save."""

    def __init__(self, *args: Any, qv_source: str = "", **kwargs: Any) -> None:
        self.qv_source = qv_source
        self.qv_index: BlindIndex | None = None
        kwargs.setdefault("null", True)
        kwargs.setdefault("db_index", True)
        kwargs.setdefault("editable", False)
        kwargs.setdefault("max_length", 64)
        super().__init__(*args, **kwargs)

    def deconstruct(self) -> Any:
        # Migrations keep the column only: the index (and its key) stay in code.
        name, _path, args, kwargs = super().deconstruct()
        kwargs["qv_source"] = self.qv_source
        return name, "qv.django.BlindIndexField", args, kwargs

    def qv_value(self, instance: models.Model) -> str | None:
        ix = self.qv_index
        if ix is None:  # a historical model in a migration: nothing to compute
            return getattr(instance, self.attname)  # type: ignore[no-any-return]
        if ix.compound:
            row = {c: getattr(instance, _attname(instance, c)) for c in ix.columns if c}
            return ix.compute(row)
        return ix.compute(getattr(instance, self.qv_source))

    def pre_save(self, model_instance: models.Model, add: bool) -> Any:
        value = self.qv_value(model_instance)
        setattr(model_instance, self.attname, value)
        return value


def _attname(instance: models.Model, column: str) -> str:
    for f in instance._meta.concrete_fields:
        if f.column == column or f.name == column:
            return str(f.attname)
    raise BlindIndexError(f"qv: {instance._meta.label} has no field for column {column!r}.")


# model -> {sealed field name: [index field]}; compound indexes under each member.
_MODELS: dict[type[models.Model], dict[str, list[BlindIndexField]]] = {}


def add_index_fields(field: models.Field[Any, Any], cls: type[models.Model], name: str) -> None:
    """Give `cls` the index fields of the sealed field `name` (from its contribute_to_class)."""
    declared: tuple[BlindIndex, ...] = field.qv_blind
    if not declared or cls._meta.abstract:
        return
    table = cls._meta.db_table
    column = field.db_column or name
    bound = []
    for ix in declared:
        one = ix.bound(table, column)
        if one.compound and column not in one.columns:
            raise BlindIndexError(
                f"qv: compound index {ix.name!r} is declared on {cls._meta.label}.{name} "
                f"but does not cover it (it covers {list(one.columns)})."
            )
        index_field = BlindIndexField(max_length=(ix.bits + 3) // 4, qv_source=name)
        index_field.qv_index = one
        cls.add_to_class(ix.name, index_field)
        members = [c for c in one.columns if c is not None] if one.compound else [name]
        for member in members:
            _MODELS.setdefault(cls, {}).setdefault(member, []).append(index_field)
        bound.append(one)
    check_set(f"{table}.{column}", bound)
    if not getattr(cls, "_qv_blind_save", False):
        cls._qv_blind_save = True
        cls.save = _widened_save(cls.save)
    _patch_queryset()


def check_members(cls: type[models.Model]) -> None:
    """A compound index naming a column its model lacks fails when the model is ready."""
    names = {f.column for f in cls._meta.concrete_fields} | {
        f.name for f in cls._meta.concrete_fields
    }
    for member, fields in _MODELS.get(cls, {}).items():
        if member not in names:
            ix = fields[0].qv_index
            raise BlindIndexError(
                f"qv: compound index {ix.name if ix else '?'!r} names column {member!r} that "
                f"{cls._meta.label} does not have."
            )


def _index_names(model: type[models.Model], names: Any) -> list[str]:
    fields = _MODELS.get(model)
    out = list(names)
    if not fields:
        return out
    for name in list(out):
        for index_field in fields.get(name, ()):
            if index_field.name not in out:
                out.append(index_field.name)
    return out


def _widened_save(save: Any) -> Any:
    @functools.wraps(save)
    def wrapper(self: models.Model, *args: Any, **kwargs: Any) -> Any:
        fields = kwargs.get("update_fields")
        if fields is not None:
            kwargs["update_fields"] = _index_names(type(self), fields)
        return save(self, *args, **kwargs)

    return wrapper


_PATCHED = False


def _patch_queryset() -> None:
    global _PATCHED
    if _PATCHED:
        return
    _PATCHED = True
    bulk_update = QuerySet.bulk_update
    update = QuerySet.update

    def widened_bulk_update(self: QuerySet[Any], objs: Any, fields: Any, *a: Any, **k: Any) -> Any:
        if self.model in _MODELS:
            objs = list(objs)
            fields = _index_names(self.model, fields)
            for index_field in {f for fs in _MODELS[self.model].values() for f in fs}:
                if index_field.name in fields:
                    for obj in objs:
                        setattr(obj, index_field.attname, index_field.qv_value(obj))
        return bulk_update(self, objs, fields, *a, **k)

    def widened_update(self: QuerySet[Any], **kwargs: Any) -> Any:
        if self.model in _MODELS:
            kwargs = _update_values(self.model, kwargs)
        return update(self, **kwargs)

    QuerySet.bulk_update = widened_bulk_update
    QuerySet.update = widened_update


def _update_values(model: type[models.Model], values: dict[str, Any]) -> dict[str, Any]:
    out = dict(values)
    for name, fields in _MODELS[model].items():
        if name not in values:
            continue
        for index_field in fields:
            ix = index_field.qv_index
            if ix is None or index_field.name in values:
                continue
            given = values[name]
            if hasattr(given, "resolve_expression"):
                # Not a plaintext: a token rewritten in place (rotate), whose
                # plaintext and so index stay as they are.
                continue
            if ix.compound:
                raise SealedQueryError(
                    f"qv: compound index {ix.name!r} cannot be kept by QuerySet.update(); "
                    "save the objects (or bulk_update them) instead."
                )
            out[index_field.name] = ix.compute(given)
    return out


# -- lookups ---------------------------------------------------------------------


def _index_of(field: Any, wanted: Any) -> tuple[BlindIndexField, Any]:
    name = wanted.index if isinstance(wanted, Blind) else None
    value = wanted.value if isinstance(wanted, Blind) else wanted
    fields = [
        f
        for f in _MODELS.get(field.model, {}).get(field.name, [])
        if f.qv_source == field.name and f.qv_index is not None
    ]
    if name is None:
        if len(fields) != 1:
            raise SealedQueryError(
                f"qv: {field.model._meta.label}.{field.name} has {len(fields)} blind indexes; "
                "name one with qv.django.Blind(value, index=...)."
            )
        return fields[0], value
    for f in fields:
        if f.name == name:
            return f, value
    raise SealedQueryError(
        f"qv: {field.model._meta.label}.{field.name} has no blind index {name!r}."
    )


def _quote_table(compiler: Any, alias: str) -> str:
    # Django 6 names this quote_name and deprecates the old name; 5.2 has only the old.
    quote = getattr(compiler, "quote_name", None) or compiler.quote_name_unless_alias
    return str(quote(alias))


class _BlindCandidates(Lookup):
    lookup_name = "blind_candidates"
    prepare_rhs = False

    def get_prep_lookup(self) -> Any:
        if hasattr(self.rhs, "resolve_expression"):
            raise SealedQueryError("qv: a blind lookup takes a plain value, not an expression.")
        index_field, value = _index_of(self.lhs.output_field, self.rhs)
        assert index_field.qv_index is not None
        computed = index_field.qv_index.compute(value)
        if computed is None:
            raise SealedQueryError("qv: a blind lookup cannot search for None.")
        self.qv = (index_field, value, computed)
        return self.rhs

    def _column(self, compiler: Any, connection: Any) -> str:
        index_field = self.qv[0]
        alias = getattr(self.lhs, "alias", None) or index_field.model._meta.db_table
        return f"{_quote_table(compiler, alias)}.{connection.ops.quote_name(index_field.column)}"

    def as_sql(self, compiler: Any, connection: Any) -> tuple[str, tuple[Any, ...]]:
        return f"{self._column(compiler, connection)} = %s", (self.qv[2],)


class _BlindExact(_BlindCandidates):
    lookup_name = "blind"

    def as_sql(self, compiler: Any, connection: Any) -> tuple[str, tuple[Any, ...]]:
        # The candidates are fetched and opened first, and the condition
        # becomes their keys: the query stays exact however it is composed.
        index_field, value, computed = self.qv
        ix = index_field.qv_index
        assert ix is not None
        model = index_field.model
        manager = model._default_manager.db_manager(connection.alias)
        if ix.compound:
            names = [_attname_of(model, c) for c in ix.columns if c]
            rows = manager.filter(**{index_field.name: computed}).values_list("pk", *names)
            keep = [
                r[0] for r in rows if _match(ix, value, dict(zip(ix.columns, r[1:], strict=True)))
            ]
        else:
            rows = manager.filter(**{index_field.name: computed}).values_list(
                "pk", index_field.qv_source
            )
            keep = [pk for pk, plain in rows if _match(ix, value, plain)]
        if not keep:
            raise EmptyResultSet
        pk = model._meta.pk
        assert pk is not None
        alias = getattr(self.lhs, "alias", None) or model._meta.db_table
        column = f"{_quote_table(compiler, alias)}.{connection.ops.quote_name(pk.column)}"
        marks = ", ".join(["%s"] * len(keep))
        return f"{self._column(compiler, connection)} = %s AND {column} IN ({marks})", (
            computed,
            *keep,
        )


def _attname_of(model: type[models.Model], column: str) -> str:
    for f in model._meta.concrete_fields:
        if f.column == column or f.name == column:
            return str(f.name)
    raise BlindIndexError(f"qv: {model._meta.label} has no field for column {column!r}.")


def _match(ix: BlindIndex, wanted: Any, plain: Any) -> bool:
    # Equal messages (the transformed values, as hashed) are exactly the
    # rows the search asked for; NULL in any part matches nothing.
    found = ix._message(plain)
    return found is not None and found == ix._message(wanted)


def blind_lookup(name: str) -> Any:
    if name == "blind":
        return _BlindExact
    if name == "blind_candidates":
        return _BlindCandidates
    return None


# -- rebuild -----------------------------------------------------------------------


def rebuild(
    model: type[models.Model],
    name: str,
    index: str | None = None,
    *,
    batch_size: int = 1000,
    using: str = "default",
    after: Any = None,
) -> RebuildResult:
    """qv.sqlalchemy.rebuild for one index of a sealed Django field (`qv_rebuild_blind`).

    Rows by primary key in batches; only index values that differ are
    written, each batch in its own transaction; sealed values are never
    written. Resume with `after=` the result's `last_pk`, or run it again.
    """
    if not isinstance(batch_size, int) or batch_size < 1:
        raise ValueError("qv: batch_size must be a positive int.")
    field = model._meta.get_field(name)
    index_field, _ = _index_of(field, Blind(None, index))
    ix = index_field.qv_index
    assert ix is not None
    names = [_attname_of(model, c) for c in ix.columns if c] if ix.compound else [name]
    manager = model._default_manager.using(using)
    result = RebuildResult(last_pk=after)
    raw = models.ExpressionWrapper(models.F(name), output_field=models.TextField())
    progress = _sealed.Progress(
        f"qv rebuild {model._meta.db_table}.{index_field.name}", manager.count()
    )
    sealed_names = {n for n in names if hasattr(model._meta.get_field(n), "qv_where")}
    try:
        while True:
            batch = manager.order_by("pk")
            if result.last_pk is not None:
                batch = batch.filter(pk__gt=result.last_pk)
            annotations = {f"qv_raw_{n}": raw if n == name else models.F(n) for n in names}
            rows = list(
                batch.annotate(**annotations).values_list("pk", index_field.attname, *annotations)[
                    :batch_size
                ]
            )
            if not rows:
                break
            plains: list[Any] = []
            failed: set[int] = set()
            for i, row in enumerate(rows):
                values: dict[str, Any] = {}
                for n, stored in zip(names, row[2:], strict=True):
                    f = model._meta.get_field(n)
                    if n in sealed_names and stored is not None:
                        try:
                            stored = _open(f, stored)
                        except _sealed.SealedColumnError:
                            failed.add(i)
                            break
                    values[f.column] = stored
                plains.append(None if i in failed else values if ix.compound else stored)
            result.failed += len(failed)
            wanted = ix.compute_many(plains)
            with transaction.atomic(using=using):
                for i, (row, new) in enumerate(zip(rows, wanted, strict=True)):
                    if i in failed:
                        continue
                    if row[1] == new:
                        result.current += 1
                        continue
                    manager.filter(pk=row[0]).update(**{index_field.attname: new})
                    result.rebuilt += 1
            result.last_pk = rows[-1][0]
            progress.advance(len(rows))
    finally:
        progress.close()
    return result


def _open(field: Any, token: str) -> str:
    from qv.django.fields import get_keyring

    table, column, _ = field.qv_where()
    return _sealed.open_value(get_keyring(), token, aad=field.qv_aad(), table=table, column=column)


def _check_prepared(sender: type[models.Model], **kwargs: Any) -> None:
    if sender in _MODELS:
        check_members(sender)


class_prepared.connect(_check_prepared)
