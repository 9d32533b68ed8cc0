"""The provider: id tavelkorn, one algorithm, and where the program is."""
from processing.core.ProcessingConfig import ProcessingConfig, Setting
from qgis.core import QgsProcessingProvider

from .roughness import RoughnessAlgorithm

PROGRAM_SETTING = "TAVELKORN_PROGRAM"


class TavelkornProvider(QgsProcessingProvider):
    def load(self):
        ProcessingConfig.settingIcons[self.name()] = self.icon()
        ProcessingConfig.addSetting(Setting(self.name(), PROGRAM_SETTING,
                                            "tavelkorn program (empty: beside the plugin, then the PATH)", "",
                                            valuetype=Setting.FILE))
        ProcessingConfig.readSettings()
        self.refreshAlgorithms()
        return True

    def unload(self):
        ProcessingConfig.removeSetting(PROGRAM_SETTING)

    def loadAlgorithms(self):
        self.addAlgorithm(RoughnessAlgorithm())

    def id(self):
        return "tavelkorn"

    def name(self):
        return "Tavelkorn"

    def longName(self):
        return "Tavelkorn terrain roughness"
