"""Tavelkorn in QGIS's Processing toolbox."""


def classFactory(iface):
    from .plugin import TavelkornPlugin
    return TavelkornPlugin(iface)
