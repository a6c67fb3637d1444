#pragma once

#include "bindings/py_class.hpp"
#include "stack/types.hpp"

// The notification events, made only by Stack.process: a device's COV and
// event notifications, confirmed ones already acknowledged.
namespace ferromesh::bindings {

PyTypeObject* notified_value_type();
PyTypeObject* event_cov_notification_type();
PyTypeObject* event_event_notification_type();

// New event objects (consumed); null with the error set on failure.
PyObject* notification_to_py(stack::event::CovNotification&& event);
PyObject* notification_to_py(stack::event::EventNotification&& event);

}  // namespace ferromesh::bindings
