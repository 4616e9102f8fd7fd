"""The package's main job on the example files: rows of chosen keys as pandas DataFrames."""
import quorvex

aircraft = quorvex.read_dataframe("examples/aircraft_mrar_compressed.bufr",
                                  columns=["aircraftRegistrationNumberOrOtherIdentification", "data_datetime",
                                           "latitude", "longitude", "flightLevel", "airTemperature"])
print(aircraft.head(8).to_string(), f"\n({len(aircraft)} rows)\n")
synop = quorvex.read_dataframe("examples/synop_wigos.bufr",
                               columns=["WIGOS_station_id", "latitude", "longitude", "airTemperature"],
                               filters={"airTemperature": slice(273.15, None)})
print(synop.to_string())
