"""Bargeon plugins shipped with quarn.

Each subpackage is an os plugin registered under the ``quarn.bargeon.plugins``
entry-point group; its submodules are the protocol-specific children.
"""
