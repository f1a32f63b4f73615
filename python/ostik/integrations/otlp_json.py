"""Finished OpenTelemetry spans as OTLP/JSON: the protobuf JSON mapping of an ExportTraceServiceRequest.

The mapping as OTLP/JSON files and collectors' file exporters write it: field
names in lowerCamelCase, trace and span ids in lowercase hex (not base64, the
one place where OTLP/JSON departs from the plain protobuf mapping), 64-bit
integers as decimal strings, enums as their numbers, and fields that hold
their default value left out. ``ostik.formats`` reads it back (format otel).
"""

from __future__ import annotations

import base64
import math
from collections.abc import Mapping, Sequence
from typing import Any

from opentelemetry.sdk.trace import ReadableSpan
from opentelemetry.trace import StatusCode

__all__ = ["any_value", "attributes", "export_request"]


def any_value(value: object) -> dict[str, Any]:
    """An attribute's value as an OTLP AnyValue."""
    if isinstance(value, bool):
        return {"boolValue": value}
    if isinstance(value, int):
        return {"intValue": str(value)}
    if isinstance(value, float):
        if math.isfinite(value):
            return {"doubleValue": value}
        # JSON has no such numbers; the protobuf JSON mapping spells them as text.
        return {"doubleValue": "NaN" if math.isnan(value) else ("Infinity" if value > 0 else "-Infinity")}
    if isinstance(value, str):
        return {"stringValue": value}
    if isinstance(value, (bytes, bytearray)):
        return {"bytesValue": base64.b64encode(value).decode("ascii")}
    if isinstance(value, Mapping):
        return {"kvlistValue": {"values": [{"key": str(k), "value": any_value(v)} for k, v in value.items()]}}
    if isinstance(value, Sequence):
        return {"arrayValue": {"values": [any_value(v) for v in value]}}
    return {"stringValue": str(value)}


def attributes(values: Mapping[str, object] | None) -> list[dict[str, Any]]:
    return [{"key": key, "value": any_value(value)} for key, value in (values or {}).items()]


def _hex_id(value: int, digits: int) -> str:
    return format(value, f"0{digits}x")


def _span(span: ReadableSpan) -> dict[str, Any]:
    context = span.context
    record: dict[str, Any] = {}
    if context is not None:
        record["traceId"] = _hex_id(context.trace_id, 32)
        record["spanId"] = _hex_id(context.span_id, 16)
        state = context.trace_state.to_header() if context.trace_state else ""
        if state:
            record["traceState"] = state
        if context.trace_flags:
            record["flags"] = int(context.trace_flags)
    if span.parent is not None:
        record["parentSpanId"] = _hex_id(span.parent.span_id, 16)
    record["name"] = span.name
    # The SDK numbers kinds from INTERNAL = 0; OTLP keeps 0 for "unspecified".
    record["kind"] = span.kind.value + 1
    if span.start_time is not None:
        record["startTimeUnixNano"] = str(span.start_time)
    if span.end_time is not None:
        record["endTimeUnixNano"] = str(span.end_time)
    if span.attributes:
        record["attributes"] = attributes(span.attributes)
    if span.dropped_attributes:
        record["droppedAttributesCount"] = span.dropped_attributes
    if span.events:
        record["events"] = [{"timeUnixNano": str(event.timestamp), "name": event.name,
                             **({"attributes": attributes(event.attributes)} if event.attributes else {})}
                            for event in span.events]
    if span.links:
        record["links"] = [{"traceId": _hex_id(link.context.trace_id, 32), "spanId": _hex_id(link.context.span_id, 16),
                            **({"attributes": attributes(link.attributes)} if link.attributes else {})}
                           for link in span.links]
    status: dict[str, Any] = {}
    if span.status.status_code is not StatusCode.UNSET:
        status["code"] = span.status.status_code.value
    if span.status.description:
        status["message"] = span.status.description
    record["status"] = status
    return record


def export_request(spans: Sequence[ReadableSpan]) -> dict[str, Any]:
    """The spans as one export, grouped by resource and then by instrumentation scope, in their order."""
    resources: dict[int, tuple[Any, dict[tuple[str, str | None, str | None], list[dict[str, Any]]], dict[Any, Any]]] = {}
    for span in spans:
        resource = span.resource
        entry = resources.get(id(resource))
        if entry is None:
            entry = resources[id(resource)] = (resource, {}, {})
        scope = span.instrumentation_scope
        key = ("", None, None) if scope is None else (scope.name, scope.version, scope.schema_url)
        entry[1].setdefault(key, []).append(_span(span))
        if scope is not None:
            entry[2][key] = scope
    resource_spans = []
    for resource, scopes, scope_objects in resources.values():
        scope_spans = []
        for key, records in scopes.items():
            name, version, schema_url = key
            scope_record: dict[str, Any] = {"name": name} if name else {}
            if version:
                scope_record["version"] = version
            scope_object = scope_objects.get(key)
            scope_attributes = getattr(scope_object, "attributes", None)
            if scope_attributes:
                scope_record["attributes"] = attributes(scope_attributes)
            entry_record: dict[str, Any] = {"scope": scope_record, "spans": records}
            if schema_url:
                entry_record["schemaUrl"] = schema_url
            scope_spans.append(entry_record)
        resource_record: dict[str, Any] = {"resource": {"attributes": attributes(resource.attributes)} if resource else {},
                                           "scopeSpans": scope_spans}
        if resource is not None and resource.schema_url:
            resource_record["schemaUrl"] = resource.schema_url
        resource_spans.append(resource_record)
    return {"resourceSpans": resource_spans}
