"""Sealed columns for SQLAlchemy 2.x: values stored as qv tokens in a Text column.

`Sealed(ring)` seals on write and opens on read; the token's associated data
names the column (its table and column name, or `context=`), and with
`bind_to_row` the row's primary key too. Deterministic columns answer ==, !=,
in_ and not_in over every enabled key's token; every other operator is refused
when the query is built. `rotate` and `seal_existing` rework a whole column in
batches, each committed on its own. Alembic migrations render the column as the
Text it is stored in, through `render_item`.

Needs SQLAlchemy (`pip install "qv[sqlalchemy]"`); `import qv` does not import it.
"""

from __future__ import annotations

import functools
from collections.abc import Callable, Sequence
from typing import Any, Final

from sqlalchemy import (
    Column,
    Table,
    Text,
    bindparam,
    event,
    func,
    inspect,
    select,
    tuple_,
    type_coerce,
    update,
)
from sqlalchemy.engine import Connection, Dialect, Engine
from sqlalchemy.exc import DontWrapMixin
from sqlalchemy.orm import Mapper, Session, attributes
from sqlalchemy.sql import operators
from sqlalchemy.sql.elements import ColumnElement
from sqlalchemy.types import TypeDecorator

from qv import Keyring, KeyringError, _sealed
from qv._sealed import (
    RotateResult,
    SealedColumnError,
    SealedKeyError,
    SealedQueryError,
    SealedTamperedError,
    SealResult,
)

__all__ = [
    "RotateResult",
    "RowBoundToken",
    "SealResult",
    "Sealed",
    "SealedColumnError",
    "SealedKeyError",
    "SealedQueryError",
    "SealedTamperedError",
    "SealedTypeError",
    "SealedWriteError",
    "bind_to_row",
    "render_item",
    "rotate",
    "seal_existing",
]

_IS_NULL: Final = frozenset({operators.is_, operators.is_not})
_EQUALITY: Final = frozenset({operators.eq, operators.ne, operators.in_op, operators.not_in_op})
_SYMBOLS: Final[dict[Any, str]] = {
    operators.eq: "==",
    operators.ne: "!=",
    operators.lt: "<",
    operators.le: "<=",
    operators.gt: ">",
    operators.ge: ">=",
    operators.add: "+",
    operators.sub: "-",
    operators.mul: "*",
    operators.in_op: "in_()",
    operators.not_in_op: "not_in()",
}


class RowBoundToken:
    """A row-bound column's stored token as a Core read sees it: opened only through the ORM."""

    __slots__ = ("token",)

    def __init__(self, token: str) -> None:
        self.token = token

    def __repr__(self) -> str:
        return "<qv row-bound sealed value; load it through its mapped class>"


class _Presealed:
    """A token made by this module for a row-bound column, written as it is."""

    __slots__ = ("token",)

    def __init__(self, token: str) -> None:
        self.token = token


# What an INSERT or UPDATE writes into a row-bound column until the row's key
# is known: not NULL (so NOT NULL columns take it) and never a value on read.
_PENDING: Final = ""


class _Pending:
    __slots__ = ()


class _State:
    """One column's settings, shared by the dialect copies SQLAlchemy makes of its type."""

    def __init__(self, ring: _sealed.RingSource, context: str | None, owner: int) -> None:
        self.ring = ring
        self.given_context = context
        self.context = context
        self.table: str | None = None
        self.column: str | None = None
        self.bound_to: object | None = None
        self.row_bound = False
        self.owner = owner
        self.aad: dict[str, str] | None = None


class Sealed(TypeDecorator[str]):
    """A Text column whose values are sealed under `ring` and bound to the column.

    `ring` is a qv.Keyring or a callable returning one, called at first use.
    `deterministic=True` gives equal values equal tokens under one key, so the
    column can be searched with ==, !=, in_ and not_in; otherwise each write
    gets a fresh nonce and only IS NULL and IS NOT NULL are allowed.
    `context` replaces "table.column" in the associated data, for a column
    whose values must open under another name too.
    """

    impl = Text
    cache_ok = True

    def __init__(
        self,
        ring: Keyring | Callable[[], Keyring],
        *,
        deterministic: bool = False,
        context: str | None = None,
    ) -> None:
        super().__init__()
        if context is not None and (not isinstance(context, str) or not context):
            raise ValueError("qv: context must be a non-empty str.")
        self.deterministic = bool(deterministic)
        # A public attribute named like the argument: SQLAlchemy's statement
        # cache keys a type by these, so two columns never share a compiled form.
        self.context = context
        self._qv = _State(_sealed.RingSource(ring), context, id(self))

    # -- the column it belongs to ---------------------------------------------

    def _set_parent(self, parent: Any, outer: bool = False, **kw: Any) -> None:
        super()._set_parent(parent, outer=outer, **kw)
        if not isinstance(parent, Column):
            return
        state = self._qv
        if state.bound_to is not None and state.bound_to is not parent:
            if state.owner == id(self):
                raise ValueError(
                    "qv: a Sealed type belongs to one column; make one Sealed(...) per column."
                )
            # SQLAlchemy copied the type for a copied column (a mixin's, say).
            state = self._qv = _State(state.ring, state.given_context, id(self))
        state.bound_to = parent
        state.column = parent.name
        if isinstance(parent.table, Table):
            self._attach(parent, parent.table)
        else:
            event.listen(parent, "after_parent_attach", self._attach)

    def _attach(self, column: Any, table: Any) -> None:
        state = self._qv
        state.table = table.name
        state.column = column.name
        if state.given_context is None:
            state.context = f"{table.name}.{column.name}"
            self.context = state.context

    def _where(self) -> tuple[str, str, str]:
        state = self._qv
        if state.context is None:
            raise ValueError(
                "qv: a Sealed column must belong to a table before use, or be given context=."
            )
        return state.table or state.context, state.column or "?", state.context

    def _ring(self) -> Keyring:
        return self._qv.ring.get()

    # -- values -----------------------------------------------------------------

    def process_bind_param(self, value: Any, dialect: Dialect) -> str | None:
        if value is None:
            return None
        state = self._qv
        if type(value) is str and not state.row_bound and state.context is not None:
            # The common write, kept short: one ring call per value.
            if state.aad is None or state.aad["qv.column"] != state.context:
                state.aad = _sealed.column_aad(state.context)
            try:
                return state.ring.get().encrypt(
                    _sealed.FRAME + value, deterministic=self.deterministic, aad=state.aad
                )
            except KeyringError as e:
                raise SealedWriteError(str(e)) from e
        if isinstance(value, _Presealed):
            return value.token
        table, column, context = self._where()
        if self._qv.row_bound:
            if isinstance(value, _Pending):
                return _PENDING
            raise ValueError(
                f"qv: {table}.{column} is bound to its row: write it through its mapped class."
            )
        return _seal(
            self._ring,
            value,
            deterministic=self.deterministic,
            aad=_sealed.column_aad(context),
            where=f"{table}.{column}",
        )

    def process_result_value(self, value: Any, dialect: Dialect) -> Any:
        if value is None:
            return None
        if self._qv.row_bound:
            return RowBoundToken(value)
        table, column, context = self._where()
        return _sealed.open_value(
            self._ring(), value, aad=_sealed.column_aad(context), table=table, column=column
        )

    def open_row_value(self, token: str, row_key: Sequence[object]) -> str:
        """Open a row-bound column's token given its row's primary key values."""
        table, column, context = self._where()
        aad = _sealed.column_aad(context, _sealed.row_text(row_key))
        return _sealed.open_value(self._ring(), token, aad=aad, table=table, column=column)

    def seal_row_value(self, value: str, row_key: Sequence[object]) -> str:
        table, column, context = self._where()
        aad = _sealed.column_aad(context, _sealed.row_text(row_key))
        return _seal(self._ring, value, deterministic=False, aad=aad, where=f"{table}.{column}")

    def copy(self, **kw: Any) -> Sealed:
        return super().copy(**kw)

    def __repr__(self) -> str:
        mode = "deterministic" if self.deterministic else "random"
        return f"<qv.sqlalchemy.Sealed {mode} context={self._qv.context!r}>"

    # -- queries ----------------------------------------------------------------

    class Comparator(TypeDecorator.Comparator[str]):
        def operate(self, op: Any, *other: Any, **kwargs: Any) -> ColumnElement[Any]:
            sealed: Sealed = self.expr.type  # type: ignore[assignment]
            if op in _IS_NULL or (op in (operators.eq, operators.ne) and other[0] is None):
                return super().operate(op, *other, **kwargs)
            if op not in _EQUALITY or not sealed.deterministic or sealed._qv.row_bound:
                raise sealed._refusal(op)
            as_text = _as_text(self.expr)
            if op in (operators.eq, operators.ne):
                tokens = sealed._lookup([other[0]])
                return as_text.in_(tokens) if op is operators.eq else as_text.not_in(tokens)
            values = other[0]
            if not isinstance(values, list | tuple | set | frozenset):
                raise SealedQueryError(
                    f"qv: {sealed._name()} takes a list of str values in in_() and not_in(), "
                    "not a subquery or an expression."
                )
            tokens = sealed._lookup(list(values))
            return as_text.in_(tokens) if op is operators.in_op else as_text.not_in(tokens)

        def reverse_operate(self, op: Any, other: Any, **kwargs: Any) -> ColumnElement[Any]:
            sealed: Sealed = self.expr.type  # type: ignore[assignment]
            raise sealed._refusal(op)

    comparator_factory = Comparator

    def _name(self) -> str:
        state = self._qv
        return f"{state.table}.{state.column}" if state.table else (state.context or "?")

    def _refusal(self, op: Any) -> SealedQueryError:
        name = _SYMBOLS.get(op) or getattr(op, "__name__", str(op)).removesuffix("_op")
        if self.deterministic and not self._qv.row_bound:
            allowed = "==, !=, in_(), not_in(), IS NULL and IS NOT NULL"
        else:
            allowed = "IS NULL and IS NOT NULL (it is sealed in random mode)"
        return SealedQueryError(
            f"qv: sealed column {self._name()} cannot be queried with {name}; "
            f"it answers only {allowed}."
        )

    def _lookup(self, values: list[Any]) -> list[str]:
        table, column, context = self._where()
        ring = self._ring()
        aad = _sealed.column_aad(context)
        tokens: list[str] = []
        for value in values:
            if isinstance(value, ColumnElement):
                raise SealedQueryError(
                    f"qv: {table}.{column} is compared with str values only, not with a "
                    "column or an expression."
                )
            tokens.extend(_sealed.lookup_tokens(ring, value, aad=aad, where=f"{table}.{column}"))
        return tokens


class SealedTypeError(TypeError, DontWrapMixin):
    """A value that is not text was written to a sealed column (raised as is, not wrapped)."""


class SealedWriteError(KeyringError, DontWrapMixin):
    """The ring refused to seal a value (no enabled key, say); its own error is the cause."""


def _seal(
    ring: Callable[[], Keyring], value: Any, *, deterministic: bool, aad: dict[str, str], where: str
) -> str:
    # SQLAlchemy wraps what a bind processor raises in StatementError unless
    # the exception says otherwise: these say so, so callers catch TypeError
    # and KeyringError as they would around the ring itself.
    try:
        return _sealed.seal(ring(), value, deterministic=deterministic, aad=aad, where=where)
    except TypeError as e:
        raise SealedTypeError(str(e)) from None
    except KeyringError as e:
        raise SealedWriteError(str(e)) from e


def _as_text(expr: Any) -> ColumnElement[str]:
    return type_coerce(expr, Text())


# -- rows ---------------------------------------------------------------------

_ROW_BOUND: dict[type, list[tuple[str, Column[Any]]]] = {}


def bind_to_row(attribute: Any) -> None:
    """Bind a random-mode Sealed attribute's values to their row's primary key too.

    A token copied to another row (or another table) then no longer opens.
    The ORM seals the value once the row's key is known: an INSERT writes a
    placeholder and, in the same transaction, an UPDATE by primary key writes
    the token; loads and refreshes open it with the row's key. Core writes of
    plain values to such a column are refused, and Core reads give a
    RowBoundToken (open it with `Sealed.open_row_value`). Changing a row's
    primary key needs the value written again.
    """
    prop = attribute.property
    (column,) = prop.columns
    sealed = column.type
    if not isinstance(sealed, Sealed):
        raise TypeError(f"qv: {attribute} is not a Sealed column.")
    if sealed.deterministic:
        raise ValueError(
            "qv: a deterministic column cannot be bound to its row: its lookups "
            "would need the row before finding it."
        )
    mapper: Mapper[Any] = prop.parent
    cls = mapper.class_
    sealed._qv.row_bound = True
    first = cls not in _ROW_BOUND
    _ROW_BOUND.setdefault(cls, []).append((attribute.key, column))
    if first:
        event.listen(cls, "before_insert", _before_write, propagate=True)
        event.listen(cls, "before_update", _before_write, propagate=True)
        event.listen(cls, "after_insert", _after_write, propagate=True)
        event.listen(cls, "after_update", _after_write, propagate=True)
        event.listen(cls, "load", _on_load, propagate=True)
        event.listen(cls, "refresh", _on_refresh, propagate=True)


def _bound_attrs(target: Any) -> list[tuple[str, Column[Any]]]:
    out: list[tuple[str, Column[Any]]] = []
    for cls in type(target).__mro__:
        out.extend(_ROW_BOUND.get(cls, ()))
    return out


def _before_write(mapper: Mapper[Any], connection: Connection, target: Any) -> None:
    state = inspect(target)
    pending: dict[str, str] = {}
    for key, _column in _bound_attrs(target):
        if key not in state.dict or not state.attrs[key].history.has_changes():
            continue
        value = state.dict[key]
        if value is None or isinstance(value, _Pending):
            continue
        pending[key] = value
        setattr(target, key, _Pending())
    if pending:
        state.info["qv.pending"] = pending


def _after_write(mapper: Mapper[Any], connection: Connection, target: Any) -> None:
    state = inspect(target)
    pending: dict[str, str] = state.info.pop("qv.pending", {})
    if not pending:
        return
    row_key = mapper.primary_key_from_instance(target)
    table = mapper.local_table
    writes = {}
    for key, column in _bound_attrs(target):
        if key in pending:
            sealed: Sealed = column.type  # type: ignore[assignment]
            writes[column.name] = _Presealed(sealed.seal_row_value(pending[key], row_key))
    where = [c == v for c, v in zip(mapper.primary_key, row_key, strict=True)]
    connection.execute(update(table).where(*where).values(writes))  # type: ignore[arg-type]
    for key, value in pending.items():
        attributes.set_committed_value(target, key, value)


def _open_loaded(target: Any, keys: Any) -> None:
    state = inspect(target)
    row_key = None
    for key, column in _bound_attrs(target):
        if keys is not None and key not in keys:
            continue
        raw = state.dict.get(key)
        if not isinstance(raw, RowBoundToken):
            continue
        if row_key is None:
            row_key = state.mapper.primary_key_from_instance(target)
        sealed: Sealed = column.type  # type: ignore[assignment]
        attributes.set_committed_value(target, key, sealed.open_row_value(raw.token, row_key))


def _on_load(target: Any, context: Any) -> None:
    _open_loaded(target, None)


def _on_refresh(target: Any, context: Any, attrs: Any) -> None:
    _open_loaded(target, attrs)


# -- whole columns --------------------------------------------------------------


def _resolve(column: Any) -> tuple[Column[Any], Sealed, Table]:
    if hasattr(column, "property") and hasattr(column.property, "columns"):
        column = column.property.columns[0]
    if not isinstance(column, Column) or not isinstance(column.type, Sealed):
        raise TypeError("qv: column must be a mapped attribute or a Column of type Sealed.")
    table = column.table
    if not isinstance(table, Table) or not table.primary_key.columns:
        raise ValueError(f"qv: {column} needs a table with a primary key to be rewritten.")
    return column, column.type, table


class _Runner:
    """Runs statements on a Connection, Session or Engine, one transaction per batch."""

    def __init__(self, bind: Any) -> None:
        if isinstance(bind, Session | Connection) and bind.in_transaction():
            raise ValueError("qv: commit or roll back first: every batch is committed on its own.")
        if not isinstance(bind, Session | Connection | Engine):
            raise TypeError("qv: bind must be a Connection, Session or Engine.")
        self._bind = bind

    def batch(self, work: Callable[[Any], Any]) -> Any:
        if isinstance(self._bind, Engine):
            with self._bind.begin() as conn:
                return work(conn)
        try:
            out = work(self._bind)
            self._bind.commit()
            return out
        except BaseException:
            self._bind.rollback()
            raise


def _rework(
    bind: Any,
    column: Any,
    batch_size: int,
    label: str,
    step: Callable[[Sealed, Keyring, list[str], list[dict[str, str]]], list[str | None]],
) -> int:
    """The shared loop: rows not under the primary, by primary key, a batch per transaction.

    Returns how many rows the SQL filter found already under the primary.
    """
    if not isinstance(batch_size, int) or batch_size < 1:
        raise ValueError("qv: batch_size must be a positive int.")
    col, sealed, table = _resolve(column)
    ring = sealed._ring()
    _, _, context = sealed._where()
    pk = list(table.primary_key.columns)
    raw = _as_text(col)
    prefixes = _sealed.key_id_prefixes(_sealed.primary_id(ring))
    head = func.substr(raw, 1, len(prefixes[0]))
    stale = col.is_not(None) & head.not_in(prefixes)
    runner = _Runner(bind)
    current, todo = runner.batch(
        lambda conn: (
            conn.execute(
                select(func.count())
                .select_from(table)
                .where(col.is_not(None) & ~head.not_in(prefixes))
            ).scalar_one(),
            conn.execute(select(func.count()).select_from(table).where(stale)).scalar_one(),
        )
    )
    progress = _sealed.Progress(f"qv {label} {table.name}.{col.name}", todo)
    after: tuple[Any, ...] | None = None
    try:
        while True:
            query = select(*pk, raw).where(stale).order_by(*pk).limit(batch_size)
            if after is not None:
                query = query.where(tuple_(*pk) > tuple_(*after))
            rows = runner.batch(functools.partial(_fetch, query))
            if not rows:
                break
            keys = [tuple(r[: len(pk)]) for r in rows]
            tokens = [r[len(pk)] for r in rows]
            aads = [
                _sealed.column_aad(context, _sealed.row_text(k) if sealed._qv.row_bound else None)
                for k in keys
            ]
            new = step(sealed, ring, tokens, aads)
            updates = [
                {**{f"qv_pk{i}": v for i, v in enumerate(k)}, "qv_old": old, "qv_new": tok}
                for k, old, tok in zip(keys, tokens, new, strict=True)
                if tok is not None
            ]
            if updates:
                stmt = (
                    update(table)
                    .where(*[c == bindparam(f"qv_pk{i}") for i, c in enumerate(pk)])
                    .where(raw == bindparam("qv_old"))
                    .values({col.name: _as_text(bindparam("qv_new"))})
                )
                runner.batch(functools.partial(_write, stmt, updates))
            progress.advance(len(rows))
            after = keys[-1]
    finally:
        progress.close()
    return int(current)


def _fetch(query: Any, conn: Any) -> list[Any]:
    return list(conn.execute(query).all())


def _write(stmt: Any, rows: list[dict[str, Any]], conn: Any) -> None:
    conn.execute(stmt, rows)


def rotate(bind: Any, column: Any, *, batch_size: int = 1000) -> RotateResult:
    """Re-seal every value of `column` that is not under the ring's primary key.

    Rows under the primary are skipped in SQL by their token's text prefix, so
    a stopped run resumes where it was. Each batch is re-sealed with
    Keyring.rotate_many and written by primary key in its own transaction,
    only where the row still holds the token that was read. A row that does
    not open is counted as failed and never written.
    """
    result = RotateResult()

    def step(
        sealed: Sealed, ring: Keyring, tokens: list[str], aads: list[dict[str, str]]
    ) -> list[str | None]:
        new, counts = _sealed.rotate_batch(ring, tokens, aads)
        result.rotated += counts.rotated
        result.current += counts.current
        result.failed += counts.failed
        return new

    result.current += _rework(bind, column, batch_size, "rotate", step)
    return result


def seal_existing(bind: Any, column: Any, *, batch_size: int = 1000) -> SealResult:
    """Seal a column that holds plaintext, in place, in batches; running it twice seals once.

    A value that is already a token opening under the ring is counted as
    current and left alone; text that parses as a token but does not open is
    counted as failed and left alone too.
    """
    result = SealResult()

    def step(
        sealed: Sealed, ring: Keyring, values: list[str], aads: list[dict[str, str]]
    ) -> list[str | None]:
        table, column_name, _ = sealed._where()
        new, counts = _sealed.seal_batch(
            ring,
            values,
            aads,
            deterministic=sealed.deterministic,
            table=table,
            column=column_name,
        )
        result.sealed += counts.sealed
        result.current += counts.current
        result.failed += counts.failed
        return new

    result.current += _rework(bind, column, batch_size, "seal", step)
    return result


# -- Alembic ------------------------------------------------------------------


def render_item(type_: str, obj: Any, autogen_context: Any) -> str | bool:
    """Alembic's render_item hook: a Sealed column migrates as the Text it is stored in.

    Add `render_item=qv.sqlalchemy.render_item` to `context.configure(...)` in
    env.py. A migration needs no ring, and holds no secret.
    """
    if type_ == "type" and isinstance(obj, Sealed):
        return "sa.Text()"
    return False
