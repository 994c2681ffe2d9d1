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
from dataclasses import dataclass
from typing import Any, Final

from sqlalchemy import (
    Column,
    String,
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
from sqlalchemy.sql import Insert, Update, operators, visitors
from sqlalchemy.sql.elements import BindParameter, ColumnElement
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
from qv.blind import BlindIndex, BlindIndexError, check_set
from qv.keyring import IndexKey

__all__ = [
    "RebuildResult",
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
    "blind_candidates",
    "blind_search",
    "rebuild",
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
        # Blind indexes as declared, then bound to the table and column.
        self.declared: tuple[BlindIndex, ...] = ()
        self.blind: dict[str, BlindIndex] = {}


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
        blind: Sequence[BlindIndex] = (),
    ) -> None:
        super().__init__()
        if context is not None and (not isinstance(context, str) or not context):
            raise ValueError("qv: context must be a non-empty str.")
        if isinstance(ring, IndexKey):
            raise TypeError(
                "qv: Sealed takes a key ring (its sealing keys), not an index key; an index "
                "key goes to a qv.BlindIndex in blind=."
            )
        declared = tuple(blind)
        names = [ix.name for ix in declared if isinstance(ix, BlindIndex)]
        if len(names) != len(declared):
            raise TypeError("qv: blind= takes qv.BlindIndex objects.")
        if len(set(names)) != len(names):
            raise BlindIndexError(f"qv: blind index names repeat in {names}.")
        self.deterministic = bool(deterministic)
        # A public attribute named like the argument: SQLAlchemy's statement
        # cache keys a type by these, so two columns never share a compiled form.
        self.context = context
        self._qv = _State(_sealed.RingSource(ring), context, id(self))
        self._qv.declared = declared

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
            declared = state.declared
            state = self._qv = _State(state.ring, state.given_context, id(self))
            state.declared = declared
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
        if state.declared:
            _attach_blind(self, column, table)

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

        def blind(self, value: Any, index: str | None = None) -> ColumnElement[bool]:
            """Rows whose `index` (the column's only one by default) matches `value`.

            In a Session, rows that only share the index value are dropped
            once opened, so exactly the rows holding the value come back
            (select the entity or the sealed column). On a Connection it
            finds candidates, as `blind_candidates` does.
            """
            sealed: Sealed = self.expr.type  # type: ignore[assignment]
            ix = sealed._index(index)
            cond = sealed._candidates(ix, value)
            _mark_searched()
            return cond._annotate({"qv_blind": _Search(sealed._qv.bound_to, ix, value)})

        def blind_candidates(self, value: Any, index: str | None = None) -> ColumnElement[bool]:
            """Rows whose index value matches, false positives included (the database alone)."""
            sealed: Sealed = self.expr.type  # type: ignore[assignment]
            ix = sealed._index(index)
            return sealed._candidates(ix, value)

        def reverse_operate(self, op: Any, other: Any, **kwargs: Any) -> ColumnElement[Any]:
            sealed: Sealed = self.expr.type  # type: ignore[assignment]
            raise sealed._refusal(op)

    comparator_factory = Comparator

    def _index(self, name: str | None) -> BlindIndex:
        blind = self._qv.blind
        if name is None:
            if len(blind) != 1:
                raise SealedQueryError(
                    f"qv: {self._name()} has {len(blind)} blind indexes; name one "
                    f"({', '.join(blind) or 'none declared'})."
                )
            return next(iter(blind.values()))
        if name not in blind:
            raise SealedQueryError(f"qv: {self._name()} has no blind index {name!r}.")
        return blind[name]

    def _candidates(self, ix: BlindIndex, value: Any) -> ColumnElement[bool]:
        table = self._qv.bound_to.table  # type: ignore[attr-defined]
        if isinstance(value, ColumnElement):
            raise SealedQueryError(f"qv: blind index {ix.name!r} is searched with values only.")
        computed = ix.compute(value)
        if computed is None:
            raise SealedQueryError(f"qv: blind index {ix.name!r} cannot search for None.")
        return table.c[ix.name] == computed  # type: ignore[no-any-return]

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
        # The statement will carry a placeholder, not the plaintext: the
        # column's blind indexes are computed here instead.
        for ix in _column.type._qv.blind.values():  # type: ignore[attr-defined]
            if not ix.compound:
                setattr(target, ix.name, ix.compute(value))
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
        result.add(counts)
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
        result.add(counts)
        return new

    result.current += _rework(bind, column, batch_size, "seal", step)
    return result


# -- blind indexes ----------------------------------------------------------------
#
# Each index of a sealed column is a column of its own on the same table,
# named after the index, holding its hex value under a database index. It is
# filled from the plaintext of every INSERT and UPDATE that writes the sealed
# column (or, for a compound index, all its columns): a Connection event
# reads the statement's parameters before the column types seal them, so
# Core writes, executemany, the ORM's flush and its bulk paths all pass
# through it. A value the statement gives as an SQL expression (as rotate
# does, which leaves the plaintext alone) is not a plaintext, and leaves the
# index as it is.

# table -> [(index, source column key, member column keys)]
_BLIND: dict[Table, list[tuple[BlindIndex, str, tuple[str, ...]]]] = {}


@dataclass
class RebuildResult:
    """What rebuild did: index values written, already right, rows that did not open."""

    rebuilt: int = 0
    current: int = 0
    failed: int = 0
    last_key: tuple[Any, ...] | None = None


def _attach_blind(sealed: Sealed, column: Any, table: Any) -> None:
    state = sealed._qv
    bound: dict[str, BlindIndex] = {}
    for ix in state.declared:
        one = ix.bound(table.name, column.name)
        if one.compound and column.name not in one.columns:
            raise BlindIndexError(
                f"qv: compound index {ix.name!r} is declared on {table.name}.{column.name} "
                f"but does not cover it (it covers {list(one.columns)})."
            )
        if ix.name in table.c:
            existing = table.c[ix.name]
            if isinstance(existing.type, Sealed):
                raise BlindIndexError(
                    f"qv: blind index {ix.name!r} would replace the sealed column "
                    f"{table.name}.{ix.name}."
                )
        else:
            table.append_column(
                Column(ix.name, String((ix.bits + 3) // 4), index=True, nullable=True)
            )
        members = tuple(c for c in one.columns if c is not None)
        _BLIND.setdefault(table, []).append((one, column.key, members))
        bound[ix.name] = one
    state.blind = bound
    check_set(f"{table.name}.{column.name}", list(bound.values()))


def _check_members(table: Table) -> None:
    for ix, _, members in _BLIND.get(table, ()):
        missing = [m for m in members if m not in table.c]
        if missing:
            raise BlindIndexError(
                f"qv: compound index {ix.name!r} names columns {missing} that "
                f"{table.name} does not have."
            )


def _plain(value: Any) -> tuple[bool, Any]:
    """Whether a written value is a plaintext (or None) the index is computed from."""
    if value is None or (isinstance(value, str | int) and not isinstance(value, bool)):
        return True, value
    return False, None


def _row_values(params: dict[str, Any], members: tuple[str, ...]) -> dict[str, Any] | None:
    row: dict[str, Any] = {}
    for m in members:
        if m not in params:
            return None
        plain, value = _plain(params[m])
        if not plain:
            return None
        row[m] = value
    return row


_SKIP: Final = object()


def _index_input(
    ix: BlindIndex, source: str, members: tuple[str, ...], params: dict[str, Any]
) -> Any:
    """What the index is computed from for one parameter set, or _SKIP, or a _Fresh value."""
    if not ix.compound:
        if source not in params:
            return _SKIP
        plain, given = _plain(params[source])
        return given if plain else _SKIP
    if not any(m in params for m in members):
        return _SKIP
    row = _row_values(params, members)
    if row is not None:
        return row
    fresh = params.get(ix.name)
    if isinstance(fresh, _Fresh):
        return fresh  # the ORM computed it from the whole object
    raise SealedWriteError(
        f"qv: compound blind index {ix.name!r} needs all of {list(members)} "
        "written together (as plain values)."
    )


def _fill(table: Table, rows: list[Any]) -> list[Any]:
    """The parameter sets with their index values, each index computed in one call.

    The caller's dicts stay as given: a set that gains a value is copied.
    """
    out = list(rows)
    for ix, source, members in _BLIND[table]:
        at: list[int] = []
        inputs: list[Any] = []
        for i, params in enumerate(rows):
            if not isinstance(params, dict):
                continue
            given = _index_input(ix, source, members, params)
            if given is _SKIP:
                continue
            if isinstance(given, _Fresh):
                out[i] = dict(out[i])
                out[i][ix.name] = str(given)
                continue
            at.append(i)
            inputs.append(given)
        if not at:
            continue
        for i, value in zip(at, ix.compute_many(inputs), strict=True):
            if out[i] is rows[i]:
                out[i] = dict(rows[i])
            out[i][ix.name] = value
    return out


def _inline_values(stmt: Any) -> dict[str, Any]:
    values: dict[str, Any] = {}
    for key, value in (getattr(stmt, "_values", None) or {}).items():
        name = getattr(key, "key", key)
        if isinstance(value, BindParameter) and value.callable is None:
            values[name] = value.value
        else:
            values[name] = _NotPlain
    return values


class _NotPlainType:
    pass


_NotPlain = _NotPlainType()


def _before_execute(
    conn: Any, elem: Any, multiparams: Any, params: Any, options: Any
) -> tuple[Any, Any, Any]:
    if not isinstance(elem, Insert | Update) or elem.table not in _BLIND:
        return elem, multiparams, params
    table = elem.table
    inline = _inline_values(elem)
    if inline:
        (filled,) = _fill(table, [inline])
        extra = {k: v for k, v in filled.items() if k not in inline}
        if extra:
            elem = elem.values(extra)
    if multiparams:
        multiparams = _fill(table, list(multiparams))
    elif params:
        (params,) = _fill(table, [params])
    return elem, multiparams, params


event.listen(Engine, "before_execute", _before_execute, retval=True)


@event.listens_for(Mapper, "instrument_class")
def _declared(mapper: Mapper[Any], cls: type) -> None:
    # A compound index naming a column the table lacks fails with the class.
    table = getattr(mapper, "local_table", None)
    if isinstance(table, Table) and table in _BLIND:
        _check_members(table)


class _Fresh(str):
    """An index value the ORM must write even if equal to the loaded one."""

    __slots__ = ()

    def __eq__(self, other: object) -> bool:
        return False

    def __ne__(self, other: object) -> bool:
        return True

    __hash__ = str.__hash__


def _orm_compound(mapper: Mapper[Any], connection: Connection, target: Any) -> None:
    # An ORM update writes only the changed columns: a compound index whose
    # member changed is computed here from the whole object instead.
    state = inspect(target)
    found = _BLIND.get(mapper.local_table)  # type: ignore[call-overload]
    if not found:
        return
    for ix, _, members in found:
        if not ix.compound:
            continue
        if not any(state.attrs[m].history.has_changes() for m in members if m in state.attrs):
            continue
        row = {m: state.dict.get(m) for m in members}
        if all(_plain(v)[0] for v in row.values()):
            value = ix.compute(row)
            # Written even when equal to the stored one (a few bits collide
            # often): the statement must carry the index beside its changed
            # members, and the ORM leaves out values equal to the loaded ones.
            setattr(target, ix.name, None if value is None else _Fresh(value))


class _Search:
    """What a blind search looks for, carried by its condition for the exact filter.

    Equal for every search of one index, so that SQLAlchemy's statement
    cache (which keys on annotations) compiles each index's search once.
    """

    __slots__ = ("column", "index", "value")

    def __init__(self, column: Any, index: BlindIndex, value: Any) -> None:
        self.column = column
        self.index = index
        self.value = value

    def __eq__(self, other: object) -> bool:
        return (
            isinstance(other, _Search)
            and other.column is self.column
            and other.index.name == self.index.name
        )

    def __hash__(self) -> int:
        return hash((id(self.column), self.index.name))

    def __repr__(self) -> str:
        return f"<qv blind search on {self.index.name!r}>"


# On every mapper: a listener added to a class while it is being mapped is
# not called, and the lookup is one dict probe for classes without indexes.
event.listen(Mapper, "before_insert", _orm_compound)
event.listen(Mapper, "before_update", _orm_compound)


def _blind_conditions(stmt: Any) -> list[tuple[Any, BlindIndex, Any]]:
    found = []
    for element in visitors.iterate(stmt):
        info = element._annotations.get("qv_blind") if element._annotations else None
        if isinstance(info, _Search):
            found.append((info.column, info.index, info.value))
    return found


_SEARCHED = False


def _keep(ix: BlindIndex, wanted: Any, value: Any) -> bool:
    # Equal messages (the transformed values, as hashed) are exactly the
    # rows the search asked for; NULL in any part matches nothing.
    found = ix._message(value)
    return found is not None and found == ix._message(wanted)


@event.listens_for(Session, "do_orm_execute")
def _exact(state: Any) -> Any:
    if not _SEARCHED or not state.is_select:
        return None
    conditions = _blind_conditions(state.statement)
    if not conditions:
        return None
    descriptions = state.statement.column_descriptions
    checks: list[tuple[int, Callable[[Any], Any], BlindIndex, Any]] = []
    for column, ix, wanted in conditions:
        col = column
        for i, d in enumerate(descriptions):
            entity = d.get("entity")
            expr = d.get("expr")
            if (
                d.get("type") is entity
                and entity is not None
                and col.table in inspect(entity).tables
            ):
                mapper = inspect(entity)
                names = [m for m in ix.columns if m is not None]
                keys = {m: mapper.get_property_by_column(col.table.c[m]).key for m in names}
                get = functools.partial(_read_row if ix.compound else _read_one, keys, col.name)
                checks.append((i, get, ix, wanted))
                break
            prop = getattr(expr, "property", None)
            if prop is not None and hasattr(prop, "columns"):
                expr = prop.columns[0]
            if not ix.compound and expr is col:
                checks.append((i, _same, ix, wanted))
                break
        else:
            raise SealedQueryError(
                f"qv: a blind search on {col.table.name}.{col.name} drops false positives by "
                "opening the rows: select its entity or the sealed column (or use "
                "blind_candidates)."
            )
    frozen = state.invoke_statement().freeze()
    rows = frozen.data
    frozen.data = [
        row
        for row in rows
        if all(_keep(ix, wanted, get(_item(row, i))) for i, get, ix, wanted in checks)
    ]
    return frozen()


def _read_row(keys: dict[str, str], name: str, obj: Any) -> dict[str, Any]:
    return {column: getattr(obj, key) for column, key in keys.items()}


def _read_one(keys: dict[str, str], name: str, obj: Any) -> Any:
    return getattr(obj, keys[name])


def _same(value: Any) -> Any:
    return value


def _item(row: Any, i: int) -> Any:
    # A frozen result of one entity or column holds the values themselves.
    return row[i] if isinstance(row, tuple) or hasattr(row, "_mapping") else row


def _mark_searched() -> None:
    global _SEARCHED
    _SEARCHED = True


def blind_candidates(column: Any, value: Any, index: str | None = None) -> ColumnElement[bool]:
    """The condition on the index column alone: candidates, false positives included."""
    _col, sealed, _ = _resolve(column)
    return sealed._candidates(sealed._index(index), value)


def blind_search(bind: Any, column: Any, value: Any, index: str | None = None) -> list[Any]:
    """Exactly the rows whose sealed `column` holds `value` (after the index's transform).

    `bind` a Session (mapped objects come back) or a Connection / Engine
    (rows of the table). The database finds the candidates through the
    index; they are opened here and the false positives dropped.
    """
    col, sealed, table = _resolve(column)
    ix = sealed._index(index)
    cond = sealed._candidates(ix, value)
    if isinstance(bind, Session) and hasattr(column, "class_"):
        objects = bind.scalars(select(column.class_).where(cond)).all()
        key = column.key
        if ix.compound:
            return [
                o
                for o in objects
                if _keep(ix, value, {m: getattr(o, m) for m in ix.columns if m is not None})
            ]
        return [o for o in objects if _keep(ix, value, getattr(o, key))]

    def run(conn: Any) -> list[Any]:
        return list(conn.execute(select(table).where(cond)).all())

    if isinstance(bind, Engine):
        with bind.connect() as conn:
            rows = run(conn)
    else:
        rows = run(bind)
    if ix.compound:
        return [r for r in rows if _keep(ix, value, {m: r._mapping[m] for m in ix.columns})]
    return [r for r in rows if _keep(ix, value, r._mapping[col.name])]


def rebuild(
    bind: Any,
    column: Any,
    index: str | None = None,
    *,
    batch_size: int = 1000,
    after: Sequence[Any] | None = None,
) -> RebuildResult:
    """Recompute one blind index over the whole table, after a new key, transform or size.

    Rows are read by primary key in batches, their sealed values opened and
    the index values computed with the index as now declared; only rows whose
    stored index value differs are written, each batch in its own
    transaction, and the sealed values are never written. A run that stops
    can start again from its result's `last_key` (`after=`), or from the
    start, rewriting nothing that is already right. Rows that do not open are
    counted as failed and left as they are.
    """
    if not isinstance(batch_size, int) or batch_size < 1:
        raise ValueError("qv: batch_size must be a positive int.")
    col, sealed, table = _resolve(column)
    ix = sealed._index(index)
    members = [table.c[m] for m in ix.columns if m is not None]
    sealed_members = [c for c in members if isinstance(c.type, Sealed)]
    pk = list(table.primary_key.columns)
    target = table.c[ix.name]
    read = [*pk, target, *(_as_text(c) if c in sealed_members else c for c in members)]
    runner = _Runner(bind)
    total = runner.batch(
        lambda conn: conn.execute(select(func.count()).select_from(table)).scalar_one()
    )
    result = RebuildResult()
    progress = _sealed.Progress(f"qv rebuild {table.name}.{ix.name}", int(total))
    last: tuple[Any, ...] | None = tuple(after) if after is not None else None
    n = len(pk)
    try:
        while True:
            query = select(*read).order_by(*pk).limit(batch_size)
            if last is not None:
                query = query.where(tuple_(*pk) > tuple_(*last))
            rows = runner.batch(functools.partial(_fetch, query))
            if not rows:
                break
            plain: list[Any] = []
            for r in rows:
                key = tuple(r[:n])
                values = {}
                ok = True
                for c, raw in zip(members, r[n + 1 :], strict=True):
                    if c in sealed_members and raw is not None:
                        try:
                            raw = _open_stored(c.type, raw, key)  # type: ignore[arg-type]
                        except _sealed.SealedColumnError:
                            ok = False
                            break
                    values[c.name] = raw
                if not ok:
                    plain.append(_NotPlain)
                else:
                    plain.append(values if ix.compound else values[col.name])
            wanted = ix.compute_many(
                [None if p is _NotPlain else p for p in plain]  # failed rows are skipped below
            )
            updates = []
            for r, p, new in zip(rows, plain, wanted, strict=True):
                if p is _NotPlain:
                    result.failed += 1
                elif r[n] == new:
                    result.current += 1
                else:
                    updates.append({**{f"qv_pk{i}": v for i, v in enumerate(r[:n])}, "qv_ix": new})
            if updates:
                stmt = (
                    update(table)
                    .where(*[c == bindparam(f"qv_pk{i}") for i, c in enumerate(pk)])
                    .values({ix.name: bindparam("qv_ix")})
                )
                runner.batch(functools.partial(_write, stmt, updates))
                result.rebuilt += len(updates)
            last = tuple(rows[-1][:n])
            result.last_key = last
            progress.advance(len(rows))
    finally:
        progress.close()
    return result


def _open_stored(sealed: Sealed, raw: str, row_key: tuple[Any, ...]) -> str:
    if sealed._qv.row_bound:
        return sealed.open_row_value(raw, row_key)
    table, column, context = sealed._where()
    return _sealed.open_value(
        sealed._ring(), raw, aad=_sealed.column_aad(context), table=table, column=column
    )


# -- Alembic ------------------------------------------------------------------


def render_item(type_: str, obj: Any, autogen_context: Any) -> str | bool:
    """Alembic's render_item hook: a Sealed column migrates as the Text it is stored in.

    Add `render_item=qv.sqlalchemy.render_item` to `context.configure(...)` in
    env.py. A migration needs no ring, and holds no secret.
    """
    if type_ == "type" and isinstance(obj, Sealed):
        return "sa.Text()"
    return False
