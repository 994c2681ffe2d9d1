"""Sealed model fields, their lookups, the ring setting and the whole-column rewrites."""

from __future__ import annotations

import importlib
import os
import threading
from collections.abc import Callable, Sequence
from typing import Any

from django.conf import settings
from django.core import checks
from django.core.exceptions import EmptyResultSet, ImproperlyConfigured
from django.core.signals import setting_changed
from django.db import models, transaction
from django.db.models import ExpressionWrapper, F, Lookup, TextField, Value
from django.db.models.functions import Substr
from django.db.models.lookups import Exact

from qv import Keyring, _sealed
from qv._sealed import RotateResult, SealedQueryError, SealResult
from qv.blind import BlindIndex, BlindIndexError
from qv.django.blind import add_index_fields, blind_lookup

# -- the ring -----------------------------------------------------------------

_ring: Keyring | None = None
_ring_lock = threading.Lock()
_SECRET_SOURCES = ("passphrase_env", "passphrase_file", "wrapping_key_env", "wrapping_key_file")


def ring_setting_problem(value: dict[str, Any]) -> str | None:
    """What is wrong with a dict QV_KEYRING, without reading any secret."""
    unknown = set(value) - {"path", *_SECRET_SOURCES}
    if unknown:
        return f"unknown keys {sorted(unknown)}."
    if not isinstance(value.get("path"), str):
        return "'path' must name the ring file."
    given = [k for k in _SECRET_SOURCES if k in value]
    if len(given) != 1:
        return f"give exactly one of {', '.join(_SECRET_SOURCES)}."
    return None


def _read_secret(setting: dict[str, Any]) -> dict[str, Any]:
    (source,) = (k for k in _SECRET_SOURCES if k in setting)
    where = setting[source]
    if source.endswith("_env"):
        text = os.environ.get(where)
        if text is None:
            raise ImproperlyConfigured(f"QV_KEYRING: environment variable {where!r} is not set.")
        raw = text.encode("utf-8")
    else:
        with open(where, "rb") as f:
            raw = f.read().rstrip(b"\r\n")
    if source.startswith("passphrase"):
        return {"passphrase": raw}
    # A wrapping key is kept as 64 hexadecimal digits, so it survives env files.
    try:
        key = bytes.fromhex(raw.decode("ascii"))
    except ValueError:
        raise ImproperlyConfigured(
            "QV_KEYRING: the wrapping key must be 64 hexadecimal digits."
        ) from None
    return {"wrapping_key": key}


def _load_ring(value: object) -> Keyring:
    if isinstance(value, Keyring):
        return value
    if isinstance(value, str):
        module, _, name = value.rpartition(".")
        try:
            made = getattr(importlib.import_module(module), name)()
        except (ImportError, AttributeError, ValueError) as e:
            raise ImproperlyConfigured(f"QV_KEYRING: cannot call {value!r}.") from e
        if not isinstance(made, Keyring):
            raise ImproperlyConfigured(f"QV_KEYRING: {value!r} did not return a qv.Keyring.")
        return made
    if isinstance(value, dict):
        problem = ring_setting_problem(value)
        if problem:
            raise ImproperlyConfigured(f"QV_KEYRING: {problem}")
        return Keyring.load(value["path"], **_read_secret(value))
    raise ImproperlyConfigured(
        "QV_KEYRING must be a qv.Keyring, a dotted path to a callable, or a dict."
    )


def get_keyring() -> Keyring:
    """The ring QV_KEYRING names, loaded once on first use."""
    global _ring
    ring = _ring
    if ring is None:
        with _ring_lock:
            if _ring is None:
                _ring = _load_ring(getattr(settings, "QV_KEYRING", None))
            ring = _ring
    return ring


def _forget_ring(*, setting: str, **kwargs: Any) -> None:
    global _ring
    if setting == "QV_KEYRING":
        with _ring_lock:
            _ring = None


setting_changed.connect(_forget_ring)


# -- lookups ------------------------------------------------------------------


def _field_of(lookup: Lookup) -> _SealedMixin:
    return lookup.lhs.output_field  # type: ignore[no-any-return]


def _refuse_expression(lookup: Lookup, values: list[Any]) -> None:
    for value in values:
        if hasattr(value, "resolve_expression"):
            raise SealedQueryError(
                f"qv: sealed field {_field_of(lookup).qv_name()} is compared with str "
                "values only, not with an expression or a subquery."
            )


class _SealedExact(Lookup):
    lookup_name = "exact"
    prepare_rhs = False

    def get_prep_lookup(self) -> Any:
        _refuse_expression(self, [self.rhs])
        return self.rhs

    def as_sql(self, compiler: Any, connection: Any) -> tuple[str, tuple[Any, ...]]:
        lhs, params = self.process_lhs(compiler, connection)
        tokens = _field_of(self).qv_lookup([self.rhs])
        return f"{lhs} IN ({', '.join(['%s'] * len(tokens))})", (*params, *tokens)


class _SealedIn(Lookup):
    lookup_name = "in"
    prepare_rhs = False

    def get_prep_lookup(self) -> Any:
        if not isinstance(self.rhs, list | tuple | set | frozenset):
            _refuse_expression(self, [self.rhs])
            raise SealedQueryError(
                f"qv: sealed field {_field_of(self).qv_name()} takes a list of str values in __in."
            )
        _refuse_expression(self, list(self.rhs))
        return list(self.rhs)

    def as_sql(self, compiler: Any, connection: Any) -> tuple[str, tuple[Any, ...]]:
        values = [v for v in self.rhs if v is not None]
        if not values:
            raise EmptyResultSet
        lhs, params = self.process_lhs(compiler, connection)
        tokens = _field_of(self).qv_lookup(values)
        return f"{lhs} IN ({', '.join(['%s'] * len(tokens))})", (*params, *tokens)


# -- fields -------------------------------------------------------------------


class _SealedMixin(models.Field):
    """Seals on write, opens on read; stored in a text column whatever the plaintext field."""

    def __init__(
        self,
        *args: Any,
        deterministic: bool = False,
        context: str | None = None,
        blind: Sequence[BlindIndex] = (),
        **kwargs: Any,
    ) -> None:
        if context is not None and (not isinstance(context, str) or not context):
            raise ValueError("qv: context must be a non-empty str.")
        self.deterministic = bool(deterministic)
        self.context = context
        declared = tuple(blind)
        if not all(isinstance(ix, BlindIndex) for ix in declared):
            raise TypeError("qv: blind= takes qv.BlindIndex objects.")
        names = [ix.name for ix in declared]
        if len(set(names)) != len(names):
            raise BlindIndexError(f"qv: blind index names repeat in {names}.")
        self.qv_blind = declared
        super().__init__(*args, **kwargs)

    def contribute_to_class(self, cls: Any, name: str, *args: Any, **kwargs: Any) -> None:
        super().contribute_to_class(cls, name, *args, **kwargs)
        add_index_fields(self, cls, name)

    def deconstruct(self) -> Any:
        name, _path, args, kwargs = super().deconstruct()
        if self.deterministic:
            kwargs["deterministic"] = True
        if self.context is not None:
            kwargs["context"] = self.context
        return name, f"qv.django.{type(self).__name__}", args, kwargs

    def get_internal_type(self) -> str:
        # The token is longer than the value: max_length checks the plaintext.
        return "TextField"

    def db_type(self, connection: Any) -> Any:
        return TextField().db_type(connection)

    def check(self, **kwargs: Any) -> list[checks.CheckMessage]:
        errors = list(super().check(**kwargs))
        if self.primary_key:
            errors.append(
                checks.Error(
                    "a sealed field cannot be a primary key.",
                    hint="Use a plain key and seal the value in another field.",
                    obj=self,
                    id="qv.E002",
                )
            )
        if not self.deterministic and (self.unique or self.db_index):
            errors.append(
                checks.Error(
                    "unique=True or db_index=True on a random-mode sealed field: every write "
                    "gets a fresh token, so the index never sees two equal values.",
                    hint="Pass deterministic=True, or drop unique and db_index.",
                    obj=self,
                    id="qv.E001",
                )
            )
        return errors

    # -- where --------------------------------------------------------------

    def qv_where(self) -> tuple[str, str, str]:
        table = self.model._meta.db_table
        column = self.column
        return table, column, self.context or f"{table}.{column}"

    def qv_name(self) -> str:
        table, column, _ = self.qv_where()
        return f"{table}.{column}"

    def qv_lookup(self, values: list[Any]) -> list[str]:
        _, _, context = self.qv_where()
        ring = get_keyring()
        aad = _sealed.column_aad(context)
        out: list[str] = []
        for value in values:
            out.extend(_sealed.lookup_tokens(ring, value, aad=aad, where=self.qv_name()))
        return out

    # -- values ---------------------------------------------------------------

    def _qv_cached(self) -> tuple[Any, dict[str, str], str, str]:
        # Worked out once per model: a copied field (model inheritance) gets its own.
        cached: tuple[Any, dict[str, str], str, str] | None = self.__dict__.get("_qv_memo")
        if cached is None or cached[0] is not self.model:
            table, column, context = self.qv_where()
            cached = (self.model, _sealed.column_aad(context), table, column)
            self.__dict__["_qv_memo"] = cached
        return cached

    def qv_aad(self) -> dict[str, str]:
        return self._qv_cached()[1]

    def from_db_value(self, value: Any, expression: Any, connection: Any) -> Any:
        if value is None:
            return None
        _, aad, table, column = self._qv_cached()
        return _sealed.open_value(get_keyring(), value, aad=aad, table=table, column=column)

    def to_python(self, value: Any) -> Any:
        # Values in Python are plaintext already; tokens exist only in the database.
        return value

    def get_prep_value(self, value: Any) -> Any:
        if value is None:
            return None
        return _sealed.seal(
            get_keyring(),
            value,
            deterministic=self.deterministic,
            aad=self.qv_aad(),
            where=self.qv_name(),
        )

    # -- queries ----------------------------------------------------------------

    def get_lookup(self, lookup_name: str) -> Any:
        blind = blind_lookup(lookup_name)
        if blind is not None:
            return blind
        if lookup_name == "isnull":
            return super().get_lookup(lookup_name)
        if self.deterministic and lookup_name == "exact":
            return _SealedExact
        if self.deterministic and lookup_name == "in":
            return _SealedIn
        raise self._refusal(lookup_name)

    def get_transform(self, lookup_name: str) -> Any:
        raise self._refusal(lookup_name)

    def _refusal(self, name: str) -> SealedQueryError:
        allowed = "exact, in and isnull" if self.deterministic else "isnull (random mode)"
        return SealedQueryError(
            f"qv: sealed field {self.model._meta.label}.{self.name} cannot be queried "
            f"with {name!r}; it answers only {allowed}."
        )


class SealedTextField(_SealedMixin, models.TextField):
    """A TextField sealed in the database."""


class SealedCharField(_SealedMixin, models.CharField):
    """A CharField sealed in the database; max_length bounds the plaintext."""


class SealedEmailField(_SealedMixin, models.EmailField):
    """An EmailField sealed in the database, validated as an address before sealing."""


# -- whole columns --------------------------------------------------------------


def _field(model: type[models.Model], name: str) -> _SealedMixin:
    field = model._meta.get_field(name)
    if not isinstance(field, _SealedMixin):
        raise TypeError(f"qv: {model._meta.label}.{name} is not a sealed field.")
    return field


def _rework(
    model: type[models.Model],
    name: str,
    batch_size: int,
    using: str,
    label: str,
    step: Callable[[_SealedMixin, Keyring, list[str], list[dict[str, str]]], list[str | None]],
) -> int:
    if not isinstance(batch_size, int) or batch_size < 1:
        raise ValueError("qv: batch_size must be a positive int.")
    field = _field(model, name)
    ring = get_keyring()
    _, _, context = field.qv_where()
    prefixes = _sealed.key_id_prefixes(_sealed.primary_id(ring))
    raw = ExpressionWrapper(F(field.attname), output_field=TextField())
    head = Substr(raw, 1, len(prefixes[0]), output_field=TextField())
    rows = (
        model._default_manager.using(using)
        .filter(**{f"{field.attname}__isnull": False})
        .annotate(qv_head=head, qv_raw=raw)
    )
    current = rows.filter(qv_head__in=prefixes).count()
    stale = rows.exclude(qv_head__in=prefixes)
    progress = _sealed.Progress(f"qv {label} {field.qv_name()}", stale.count())
    after = None
    try:
        while True:
            batch = stale.order_by("pk")
            if after is not None:
                batch = batch.filter(pk__gt=after)
            found = list(batch.values_list("pk", "qv_raw")[:batch_size])
            if not found:
                break
            tokens = [tok for _, tok in found]
            aads = [_sealed.column_aad(context)] * len(found)
            new = step(field, ring, tokens, aads)
            with transaction.atomic(using=using):
                for (pk, old), token in zip(found, new, strict=True):
                    if token is None:
                        continue
                    model._default_manager.using(using).filter(Exact(raw, old), pk=pk).update(
                        **{field.attname: Value(token, output_field=TextField())}
                    )
            progress.advance(len(found))
            after = found[-1][0]
    finally:
        progress.close()
    return int(current)


def rotate(
    model: type[models.Model], name: str, *, batch_size: int = 1000, using: str = "default"
) -> RotateResult:
    """qv.sqlalchemy.rotate for one field of a Django model (what `qv_rotate` runs)."""
    result = RotateResult()

    def step(
        field: _SealedMixin, ring: Keyring, tokens: list[str], aads: list[dict[str, str]]
    ) -> list[str | None]:
        new, counts = _sealed.rotate_batch(ring, tokens, aads)
        result.add(counts)
        return new

    result.current += _rework(model, name, batch_size, using, "rotate", step)
    return result


def seal_existing(
    model: type[models.Model], name: str, *, batch_size: int = 1000, using: str = "default"
) -> SealResult:
    """qv.sqlalchemy.seal_existing for one field of a Django model (`qv_seal_existing`)."""
    result = SealResult()

    def step(
        field: _SealedMixin, ring: Keyring, values: list[str], aads: list[dict[str, str]]
    ) -> list[str | None]:
        table, column, _ = field.qv_where()
        new, counts = _sealed.seal_batch(
            ring, values, aads, deterministic=field.deterministic, table=table, column=column
        )
        result.add(counts)
        return new

    result.current += _rework(model, name, batch_size, using, "seal", step)
    return result
