"""The plugin: registers the provider with Processing (qgis_process too)."""
from qgis.core import QgsApplication

from .provider import TavelkornProvider


class TavelkornPlugin:
    def __init__(self, iface):
        self.iface = iface
        self.provider = None

    def initProcessing(self):
        self.provider = TavelkornProvider()
        QgsApplication.processingRegistry().addProvider(self.provider)

    def initGui(self):
        self.initProcessing()

    def unload(self):
        if self.provider:
            QgsApplication.processingRegistry().removeProvider(self.provider)
